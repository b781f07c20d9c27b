#pragma once

#include "base/DeviceKind.h"

#include <QString>
#include <QtGlobal>

struct ImageState;

// A short text naming what the image holds, e.g. "Operating system", for the status bar.
QString ContentText(const ImageState &image, DeviceKind deviceType);
