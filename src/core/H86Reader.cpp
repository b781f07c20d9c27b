#include "core/H86Reader.h"

#include "core/HexRecord.h"

#include <algorithm>

namespace H86Reader {

namespace {

constexpr char DosEndOfFile = 0x1A;

// Control characters other than tab, line and page breaks and the DOS end-of-file mark do not
// occur in a text file; a file holding them is a binary file opened by mistake.
bool isBinaryCharacter(uchar c)
{
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != DosEndOfFile;
}

// The end of the text without a trailing run of line breaks and DOS end-of-file marks, when
// that run holds such a mark; else the whole text. An end mark anywhere else is not padding
// (a flipped line break, say) and fails the record check of its line.
qsizetype withoutEndPadding(QByteArrayView text)
{
    qsizetype end = text.size();
    bool mark = false;
    while (end > 0) {
        const char c = text[end - 1];
        if (c == DosEndOfFile)
            mark = true;
        else if (c != '\n' && c != '\r')
            break;
        --end;
    }
    return mark ? end : text.size();
}

} // namespace

Result read(QByteArrayView text, QByteArray &buffer)
{
    Result result;
    const qsizetype bufferLength = buffer.size();
    char *const out = buffer.data();
    const char *p = text.data();
    const char *const end = p + withoutEndPadding(text);
    qint64 upper = 0;
    bool mismatch = false;
    qsizetype lineNumber = 0;

    while (p < end) {
        // One line: up to LF, CR or CR LF. The final line needs no terminator.
        const char *eol = p;
        while (eol < end && *eol != '\n' && *eol != '\r')
            ++eol;
        const QByteArrayView line(p, eol - p);
        ++lineNumber;
        p = eol;
        if (p < end) {
            const bool cr = *p == '\r';
            ++p; // the line break itself
            if (cr && p < end && *p == '\n')
                ++p;
        }

        const HexRecord::Check record = HexRecord::check(line);
        if (!record.ok()) {
            // A binary file opened by mistake is named as such rather than by its first
            // "record" defect.
            const bool binary = std::any_of(line.begin(), line.end(),
                                            [](char c) { return isBinaryCharacter(uchar(c)); });
            result.error = binary                              ? Error::NotText
                : record.defect == HexRecord::Defect::TooShort ? Error::LineTooShort
                                                               : Error::InvalidRecord;
            result.line = lineNumber;
            result.record = record;
            return result;
        }

        switch (HexRecord::type(line)) {
        case HexRecord::Type::Data: {
            qsizetype pos = upper + HexRecord::loadOffset(line);
            const qsizetype n = HexRecord::dataLength(line);
            result.dataBytes += n;
            for (qsizetype i = 0; i < n; ++i) {
                if (pos >= bufferLength) {
                    // The rest of this line lies outside the device's flash; later lines are
                    // still read, so a type-02 record further down still wins.
                    mismatch = true;
                    break;
                }
                out[pos++] = char(HexRecord::dataByte(line, i));
                if (pos > result.dataEnd)
                    result.dataEnd = qint32(pos);
            }
            break;
        }
        case HexRecord::Type::ExtendedLinear:
            if (line.size() < HexRecord::MinExtendedLinearLength) {
                result.error = Error::LineTooShort;
                result.line = lineNumber;
                return result;
            }
            upper = qint64(HexRecord::upperAddressWord(line)) << 16;
            if (upper >= bufferLength) {
                result.error = Error::UpperAddressBeyondFlash;
                result.line = lineNumber;
                result.upperAddress = upper;
                return result;
            }
            break;
        case HexRecord::Type::ExtendedSegment:
            result.error = Error::InvalidHexFileType;
            result.line = lineNumber;
            return result;
        case HexRecord::Type::Other:
            break;
        }
    }

    if (mismatch)
        result.error = Error::DeviceMismatch;
    else if (result.dataBytes == 0)
        result.error = Error::NoData;
    return result;
}

} // namespace H86Reader
