#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// A stand-in target program: what the simulated bootstrap loader receives instead of real
// device firmware. Its data bytes (the data records of the H86 file, concatenated) start
// with a header that says what the program is for:
//
//   offset size
//   0      4    magic "BKSI"
//   4      1    format version (1)
//   5      1    stage: 1 loader, 2 program
//   6      1    role: 1 download, 2 upload
//   7      1    data: 1 flash, 2 retain values
//   8      1    link: 0 RS-232, 1 CAN1, 2 CAN2, 3 CAN (a loader for either channel)
//   9      1    device: 1 46xx, 2 4610 board
//   10     2    CAN bit rate in kbit/s, little-endian (0 unless the link is CAN1 or CAN2)
//   12     4    length of the whole stream in bytes, little-endian (header and CRC included)
//   16     24   file name, ASCII, zero-padded
//   40     ..   filler standing in for code
//   end-4  4    CRC-32 (IEEE) of every byte before it, little-endian
//
// The length lets the device know when a program is complete; the CRC catches a host that
// sent the right file wrongly converted.
struct StandInProgram
{
    enum class Stage : quint8 { Loader = 1, Program = 2 };
    enum class Role : quint8 { Download = 1, Upload = 2 };
    enum class Data : quint8 { Flash = 1, Retain = 2 };
    enum class Link : quint8 { Rs232 = 0, Can1 = 1, Can2 = 2, CanAny = 3 };
    enum class Device : quint8 { Vmc46xx = 1, Board4610 = 2 };

    static constexpr int HeaderSize = 40;
    // Bytes needed before declaredLength can answer.
    static constexpr int LengthKnownAfter = 16;
    static constexpr int MaxLength = 0x10000;

    Stage stage = Stage::Loader;
    Role role = Role::Download;
    Data data = Data::Flash;
    Link link = Link::Rs232;
    Device device = Device::Vmc46xx;
    int canKbps = 0;
    QString fileName;

    bool isCan() const { return link != Link::Rs232; }

    // The byte stream the host sends, and the H86 file that carries it.
    QByteArray bytes() const;
    QString h86Text() const;

    // Length declared by a stream's first LengthKnownAfter bytes; nullopt when they are not
    // a stand-in header (wrong magic or version, or an impossible length).
    static std::optional<int> declaredLength(QByteArrayView head);
    // Parses and checks a complete stream.
    static std::optional<StandInProgram> parse(QByteArrayView stream, QString *why);

    // Whether this program may follow the given loader (same role, data, device and kind
    // of link).
    bool belongsTo(const StandInProgram &loader) const;

    // Every target file the tool can choose (44 of them).
    static QList<StandInProgram> catalogue();

    static quint32 crc32(QByteArrayView data);
};
