#pragma once

#include "core/HexRecord.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

// Reads the text of an H86 (Intel HEX) image file into a flash image. Every record is checked
// (start code, hex digits, byte count, checksum): a damaged or foreign file must never reach
// the device's flash.
namespace H86Reader {

enum class Error {
    None,
    InvalidHexFileType, // a type-02 record: reading stops there
    DeviceMismatch, // data beyond the buffer; reported after all lines were read
    LineTooShort, // a line too short for the field being read: reading stops there
    NotText, // control characters that no text file holds
    InvalidRecord, // a line that fails HexRecord::check: reading stops there
    NoData, // not a single data byte in the whole file
    // A type-04 record whose upper address lies at or beyond the end of the buffer (the
    // device's flash): reading stops there. Only the low digit of such a word used to count,
    // which folded data meant for far addresses onto low flash.
    UpperAddressBeyondFlash,
};

struct Result
{
    Error error = Error::None;
    // 1-based line of a LineTooShort, InvalidHexFileType, NotText, InvalidRecord or
    // UpperAddressBeyondFlash error
    qsizetype line = 0;
    qint64 upperAddress = 0; // what the record of an UpperAddressBeyondFlash error asked for
    HexRecord::Check record; // what is wrong with the line of an InvalidRecord error
    qint32 dataEnd = 0; // highest address written plus one
    qsizetype dataBytes = 0; // data bytes in the file's data records

    bool ok() const { return error == Error::None; }
};

// Writes the data records of `text` into `buffer`, whose size is the device's flash size and
// which the caller has filled with 0xFF. Lines end with LF, CR or CR LF; DOS end-of-file marks
// (0x1A) may pad the end of the text. The upper address starts at 0; type-01 records do not
// end the reading. A type-04 record may set any upper address below the buffer's end.
[[nodiscard]] Result read(QByteArrayView text, QByteArray &buffer);

} // namespace H86Reader
