#pragma once

#include <QByteArrayView>
#include <QSaveFile>
#include <QString>
#include <QtGlobal>

#include <optional>

// A file the program writes: B86 and R86 files, uploaded images. Written atomically through a
// temporary file beside the target that replaces it on commit, so a failure leaves an existing
// file as it was and nothing else behind.
//
// Only a regular file (or a symbolic link to one) is ever replaced: a device node, fifo or
// socket at the path is refused, since renaming over it would put a plain file where the
// system expects the device. An existing file keeps its permissions (and, where the process
// may set them, its owner and group).
//
// Open it before the data exists (before a transfer starts) to learn early whether the target
// can be written at all; reserve() also claims the disk space, so a full disk shows then too.
class OutputFile
{
public:
    explicit OutputFile(const QString &path);
    ~OutputFile(); // an uncommitted temporary file is removed
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Checks the target and creates the temporary file.
    [[nodiscard]] bool open();
    // Allocates `size` bytes for the temporary file now, not when the data is written.
    [[nodiscard]] bool reserve(qint64 size);
    // Writes `data` as the whole content and replaces the target; the file is closed after.
    [[nodiscard]] bool commit(QByteArrayView data);

    // The reason of the last failure, with the system's text where there is one.
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }

private:
    struct Attributes
    {
        uint mode = 0;
        uint owner = 0;
        uint group = 0;
    };

    bool fail(const QString &text);
    bool failWithErrno(int error);

    QString m_path;
    QSaveFile m_file;
    std::optional<Attributes> m_existing; // of the file being replaced
    qint64 m_reserved = 0;
    QString m_error;
};
