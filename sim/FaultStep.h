#pragma once

#include <QString>

#include <optional>

// A point in a transfer at which a fault can be injected: one of the device's answers.
// Steps are ordered as a transfer meets them, so "from this step on" has a meaning.
struct FaultStep
{
    enum class Kind {
        Startup, // before the boot byte (stray bytes only)
        Id, // the identification byte after the boot byte
        Loader, // 0x01 after the loader
        Program, // 0xAA after the target program
        StartSector, // acknowledgement of the start sector (serial)
        EndSector, // acknowledgement of the end sector (serial)
        Erase, // the erase answer (download) or the region acceptance (CAN upload)
        Block, // the answer to block n (download) or block n itself (upload), from 1
        End // the answer to the end of data, or the upload's end mark
    };

    Kind kind = Kind::Id;
    int block = 0;

    static std::optional<FaultStep> parse(const QString &text);
    QString text() const;

    qint64 rank() const { return qint64(kind) * (qint64(1) << 32) + block; }
    bool operator==(const FaultStep &other) const { return rank() == other.rank(); }
};
