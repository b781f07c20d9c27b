#pragma once

#include <QtGlobal>

// Line error flags per open port descriptor, for ClearCommError: failures the worker or the
// component saw (I/O errors, hang-ups) plus the driver's error counters since the last call.
namespace SerialLineErrors {

void attach(int fd);
void detach(int fd);
// Adds CE_* flags to what the next ClearCommError reports.
void raise(int fd, quint32 flags);

} // namespace SerialLineErrors
