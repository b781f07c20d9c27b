#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Target programs are Intel HEX files whose data the tool sends as one piece: the data of all
// type-00 records, concatenated in file order. Address, byte count and checksum fields are not
// read; the device's loader places the program itself.
namespace LoaderFile {

// Reads the lines of a target file. False with a message in `error` when it cannot be read.
[[nodiscard]] bool readLines(const QString &path, QStringList *lines, QString *error);

} // namespace LoaderFile

// The byte stream sent for the lines of a target file.
QByteArray ConvertLoaderFile(const QStringList &lines);
