#include "StandInProgram.h"

#include <QtEndian>

namespace {

constexpr char Magic[4] = {'B', 'K', 'S', 'I'};
constexpr quint8 FormatVersion = 1;
constexpr int NameSize = 24;
constexpr int RecordSize = 16;

// Filler: a repeatable pseudo-random sequence seeded from the file name, so that every file
// differs and regenerating gives the same bytes.
QByteArray filler(const QString &name, int size)
{
    quint32 state = StandInProgram::crc32(name.toLatin1()) | 1U;
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        state = state * 1664525U + 1013904223U;
        out[i] = char(state >> 24);
    }
    return out;
}

int bodySize(const StandInProgram &p)
{
    // Loaders are small; programs larger. The name varies the size a little.
    const int base = p.stage == StandInProgram::Stage::Loader ? 320 : 1760;
    return base + int(StandInProgram::crc32(p.fileName.toLatin1()) % 97) * 2;
}

QString hexRecord(quint16 offset, quint8 type, QByteArrayView data)
{
    quint8 sum = quint8(data.size()) + quint8(offset >> 8) + quint8(offset) + type;
    for (char c : data)
        sum += quint8(c);
    return QStringLiteral(":%1%2%3%4%5")
        .arg(data.size(), 2, 16, QLatin1Char('0'))
        .arg(offset, 4, 16, QLatin1Char('0'))
        .arg(type, 2, 16, QLatin1Char('0'))
        .arg(QString::fromLatin1(data.toByteArray().toHex()))
        .arg(quint8(-sum), 2, 16, QLatin1Char('0'))
        .toUpper();
}

} // namespace

quint32 StandInProgram::crc32(QByteArrayView data)
{
    quint32 crc = 0xFFFFFFFFU;
    for (char c : data) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
    return ~crc;
}

QByteArray StandInProgram::bytes() const
{
    const int total = HeaderSize + bodySize(*this) + 4;
    QByteArray out(HeaderSize, '\0');
    memcpy(out.data(), Magic, 4);
    out[4] = char(FormatVersion);
    out[5] = char(stage);
    out[6] = char(role);
    out[7] = char(data);
    out[8] = char(link);
    out[9] = char(device);
    qToLittleEndian<quint16>(quint16(canKbps), out.data() + 10);
    qToLittleEndian<quint32>(quint32(total), out.data() + 12);
    const QByteArray name = fileName.toLatin1().left(NameSize);
    memcpy(out.data() + 16, name.constData(), size_t(name.size()));
    out += filler(fileName, bodySize(*this));
    char crc[4];
    qToLittleEndian<quint32>(crc32(out), crc);
    out.append(crc, 4);
    return out;
}

QString StandInProgram::h86Text() const
{
    const QByteArray stream = bytes();
    QStringList lines;
    // An extended linear address record as real loader files carry; the host ignores it.
    lines << hexRecord(0, 0x04, QByteArray::fromHex("0000"));
    for (int at = 0; at < stream.size(); at += RecordSize)
        lines << hexRecord(
            quint16(at), 0x00,
            QByteArrayView(stream).sliced(at, qMin(RecordSize, int(stream.size()) - at)));
    lines << hexRecord(0, 0x01, {});
    // The files come from a Windows tool chain: CR LF line ends.
    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

std::optional<int> StandInProgram::declaredLength(QByteArrayView head)
{
    if (head.size() < LengthKnownAfter || memcmp(head.data(), Magic, 4) != 0
        || quint8(head[4]) != FormatVersion)
        return std::nullopt;
    const quint32 length = qFromLittleEndian<quint32>(head.data() + 12);
    if (length < quint32(HeaderSize + 4) || length > quint32(MaxLength))
        return std::nullopt;
    return int(length);
}

std::optional<StandInProgram> StandInProgram::parse(QByteArrayView stream, QString *why)
{
    auto fail = [why](const QString &text) {
        if (why)
            *why = text;
        return std::nullopt;
    };
    const std::optional<int> length = declaredLength(stream);
    if (!length)
        return fail(QStringLiteral("no stand-in header"));
    if (stream.size() != *length)
        return fail(QStringLiteral("length %1, header says %2").arg(stream.size()).arg(*length));
    const quint32 crc = qFromLittleEndian<quint32>(stream.data() + stream.size() - 4);
    if (crc != crc32(stream.first(stream.size() - 4)))
        return fail(QStringLiteral("CRC mismatch (bytes changed on the way)"));

    StandInProgram p;
    const auto byteAt = [&](int i) {
        return quint8(stream[i]);
    };
    if (byteAt(5) < 1 || byteAt(5) > 2 || byteAt(6) < 1 || byteAt(6) > 2 || byteAt(7) < 1
        || byteAt(7) > 2 || byteAt(8) > 3 || byteAt(9) < 1 || byteAt(9) > 2)
        return fail(QStringLiteral("header fields out of range"));
    p.stage = Stage(byteAt(5));
    p.role = Role(byteAt(6));
    p.data = Data(byteAt(7));
    p.link = Link(byteAt(8));
    p.device = Device(byteAt(9));
    p.canKbps = qFromLittleEndian<quint16>(stream.data() + 10);
    const QByteArray name = stream.sliced(16, NameSize).toByteArray();
    p.fileName
        = QString::fromLatin1(name.left(name.indexOf('\0') < 0 ? NameSize : name.indexOf('\0')));
    return p;
}

bool StandInProgram::belongsTo(const StandInProgram &loader) const
{
    return loader.stage == Stage::Loader && stage == Stage::Program && role == loader.role
        && data == loader.data && device == loader.device && isCan() == loader.isCan();
}

QList<StandInProgram> StandInProgram::catalogue()
{
    QList<StandInProgram> all;
    for (Role role : {Role::Download, Role::Upload}) {
        const QString letter = role == Role::Download ? QStringLiteral("D") : QStringLiteral("U");
        const QString verb
            = role == Role::Download ? QStringLiteral("Download") : QStringLiteral("Upload");
        for (Data data : {Data::Flash, Data::Retain}) {
            const QString nv = data == Data::Retain ? QStringLiteral("NV") : QString();
            auto add = [&](Stage stage, Link link, Device device, int kbps, const QString &name) {
                StandInProgram p;
                p.stage = stage;
                p.role = role;
                p.data = data;
                p.link = link;
                p.device = device;
                p.canKbps = kbps;
                p.fileName = name + QStringLiteral(".H86");
                all << p;
            };
            const QString loader = letter + QStringLiteral("Loader") + nv;
            add(Stage::Loader, Link::Rs232, Device::Vmc46xx, 0, loader);
            add(Stage::Loader, Link::CanAny, Device::Vmc46xx, 0, loader + QStringLiteral("CAN"));
            add(Stage::Loader, Link::Rs232, Device::Board4610, 0, loader + QStringLiteral("IF"));
            add(Stage::Program, Link::Rs232, Device::Vmc46xx, 0, verb + nv);
            add(Stage::Program, Link::Rs232, Device::Board4610, 0,
                verb + nv + QStringLiteral("IF"));
            for (Link link : {Link::Can1, Link::Can2}) {
                for (int kbps : {125, 250, 500}) {
                    add(Stage::Program, link, Device::Vmc46xx, kbps,
                        QStringLiteral("%1%2CAN%3_%4K")
                            .arg(verb, nv)
                            .arg(link == Link::Can1 ? 1 : 2)
                            .arg(kbps));
                }
            }
        }
    }
    return all;
}
