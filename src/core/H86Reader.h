#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

// Reads the text of an H86 (Intel HEX) file into a flash image.
namespace H86Reader {

enum class Error {
    None,
    InvalidHexFileType, // a type-02 record: reading stops there
    DeviceMismatch, // data beyond the buffer; reported after all lines were read
    LineTooShort, // a line too short for the field being read: reading stops there
    NotText, // control characters that no text file holds
};

struct Result
{
    Error error = Error::None;
    qsizetype line = 0; // 1-based line of a LineTooShort, InvalidHexFileType or NotText error
    qint32 dataEnd = 0; // highest address written plus one

    bool ok() const { return error == Error::None; }
};

// Writes the data records of `text` into `buffer`, whose size is the device's flash size and
// which the caller has filled with 0xFF. Lines end with LF, CR or CR LF. The upper address
// starts at 0; type-01 records do not end the reading.
[[nodiscard]] Result read(QByteArrayView text, QByteArray &buffer);

} // namespace H86Reader
