// Loads a full 1 MiB H86 image (32 data bytes per record) through the image loader and
// converts the same file with `objcopy -I ihex -O binary`, both in this run, and prints the
// best of several runs of each and their ratio.
#include "core/ImageLoader.h"
#include "core/ImageState.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <limits>

namespace {

constexpr int Runs = 7;
constexpr qint32 ImageSize = 0x100000;
constexpr int BytesPerRecord = 32;

QByteArray record(quint8 type, quint16 offset, const QByteArray &payload)
{
    QByteArray raw;
    raw += char(payload.size());
    raw += char(offset >> 8);
    raw += char(offset & 0xFF);
    raw += char(type);
    raw += payload;
    quint8 sum = 0;
    for (char c : raw)
        sum += quint8(c);
    raw += char(quint8(-sum));
    return ':' + raw.toHex().toUpper() + "\r\n";
}

QByteArray fullImageText()
{
    QByteArray text;
    text.reserve(3 * 1024 * 1024);
    quint32 seed = 12345;
    for (qint32 address = 0; address < ImageSize; address += BytesPerRecord) {
        if ((address & 0xFFFF) == 0) {
            QByteArray word(2, char(0));
            word[1] = char(address >> 16);
            text += record(0x04, 0, word);
        }
        QByteArray payload(BytesPerRecord, Qt::Uninitialized);
        for (char &c : payload) {
            seed = seed * 1103515245u + 12345u;
            c = char(seed >> 16);
        }
        text += record(0x00, quint16(address & 0xFFFF), payload);
    }
    text += ":00000001FF\r\n";
    return text;
}

template<typename F> double bestMs(F &&run)
{
    double best = std::numeric_limits<double>::max();
    for (int i = 0; i < Runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!run())
            return -1;
        best = qMin(best, timer.nsecsElapsed() / 1e6);
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("full.h86"));
    const QString binPath = dir.filePath(QStringLiteral("full.bin"));
    const QByteArray text = fullImageText();
    {
        QFile file(hexPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(hexPath));
            return 1;
        }
    }

    ImageState image;
    DeviceKind deviceType = DeviceKind::None;
    const double loaderMs = bestMs([&] {
        const ImageLoader::Result result
            = ImageLoader::LoadImageFile(image, hexPath, deviceType, [](DeviceKind &type) {
                  type = DeviceKind::Device46xx;
                  return true;
              });
        return result.ok() && image.DataEnd == ImageSize;
    });
    if (loaderMs < 0) {
        std::fprintf(stderr, "loading the image failed\n");
        return 1;
    }

    const double objcopyMs = bestMs([&] {
        return QProcess::execute(QStringLiteral("objcopy"),
                                 {QStringLiteral("-I"), QStringLiteral("ihex"),
                                  QStringLiteral("-O"), QStringLiteral("binary"), hexPath, binPath})
            == 0;
    });

    std::printf("H86 image: %lld bytes of text, %d data bytes per record\n",
                static_cast<long long>(text.size()), BytesPerRecord);
    std::printf("LoadImageFile:               %8.2f ms (best of %d)\n", loaderMs, Runs);
    if (objcopyMs < 0) {
        std::printf("objcopy -I ihex -O binary:   not available\n");
        return 0;
    }
    std::printf("objcopy -I ihex -O binary:   %8.2f ms (best of %d)\n", objcopyMs, Runs);
    std::printf("ratio loader / objcopy:      %8.3f (below 1 is faster)\n", loaderMs / objcopyMs);
    return 0;
}
