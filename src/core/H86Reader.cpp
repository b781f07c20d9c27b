#include "core/H86Reader.h"

#include "core/HexRecord.h"

namespace H86Reader {

namespace {

// Control characters other than tab, line and page breaks and the DOS end-of-file mark do not
// occur in a text file; a file holding them is a binary file opened by mistake.
bool isBinaryCharacter(uchar c)
{
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1A;
}

} // namespace

Result read(QByteArrayView text, QByteArray &buffer)
{
    Result result;
    const qsizetype bufferLength = buffer.size();
    char *const out = buffer.data();
    const char *p = text.data();
    const char *const end = p + text.size();
    qint32 upper = 0;
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

        for (char c : line) {
            if (isBinaryCharacter(uchar(c))) {
                result.error = Error::NotText;
                result.line = lineNumber;
                return result;
            }
        }
        if (line.size() < HexRecord::MinLength) {
            result.error = Error::LineTooShort;
            result.line = lineNumber;
            return result;
        }

        switch (HexRecord::type(line)) {
        case HexRecord::Type::Data: {
            qsizetype pos = upper + HexRecord::loadOffset(line);
            const qsizetype n = HexRecord::dataLength(line);
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
            upper = HexRecord::upperAddress(line);
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
    return result;
}

} // namespace H86Reader
