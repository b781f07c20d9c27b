// libFuzzer entry: arbitrary bytes into the H86 and B86 readers. The first byte picks the
// reader, the rest is the file.
#include "core/B86Format.h"
#include "core/HexRecord.h"
#include "core/ImageLoader.h"
#include "core/ImageState.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// Mode 3 lays the input over the trailer of a 1 MiB image, so that the trailer checks see
// every possible sector pair without the fuzzer having to grow a 1 MiB input.
QByteArray &flashWithTrailer()
{
    static QByteArray buffer(B86Format::LengthFlashWithTrailer, char(0xFF));
    return buffer;
}

void checkLoaded(const ImageState &image, const ImageLoader::Result &result)
{
    if (!result.ok()) {
        if (!image.ImageBuffer.isEmpty() || image.ViewSize != 0x100000)
            __builtin_trap();
        return;
    }
    // The viewer and the writers rely on these.
    if (image.DataEnd < 0 || image.DataEnd > image.ImageBuffer.size())
        __builtin_trap();
    if (image.ViewSize > image.ImageBuffer.size())
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int mode = data[0] % 4;
    const QByteArrayView input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    ImageState image;
    DeviceKind deviceType = DeviceKind::None;
    ImageLoader::Result result;

    switch (mode) {
    case 0:
    case 1:
        result
            = ImageLoader::LoadH86Data(image, input, DeviceKind(mode + 1),
                                        QStringLiteral("fuzz.h86"));
        // An image without data would erase flash and program nothing: it is never loaded.
        if (result.ok()) {
            image.FileName = QStringLiteral("fuzz.h86");
            if (image.DataEnd <= 0 || !image.hasDataToDownload())
                __builtin_trap();
        }
        break;
    case 2:
        result = ImageLoader::LoadB86Data(image, input, deviceType, QStringLiteral("fuzz.b86"));
        break;
    case 3: {
        QByteArray &buffer = flashWithTrailer();
        const qsizetype n = qMin<qsizetype>(input.size(), B86Format::TrailerSize);
        std::memcpy(buffer.data() + B86Format::TrailerOffset, input.data(), size_t(n));
        result = ImageLoader::LoadB86Data(image, buffer, deviceType, QStringLiteral("fuzz.b86"));
        if (result.ok() && (image.DataEnd <= 0 || image.FirstSector < 0 || image.EndSector > 19))
            __builtin_trap();
        break;
    }
    }
    checkLoaded(image, result);

    // The target-file conversion walks the same record layout, leniently; the strict check
    // of image records must take any line.
    QByteArray bytes;
    HexRecord::appendData(input, bytes);
    const HexRecord::Check check = HexRecord::check(input);
    if (check.column < 0 || check.column > input.size())
        __builtin_trap();
    return 0;
}
