#include "upload/CompareData.h"

#include "core/SectorMap.h"

#include <QtEndian>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace {

constexpr qint32 RelocatedStart = 0x6000;
constexpr qint32 RelocatedEnd = 0x6D00;
constexpr qint32 RelocatedShift = 0x6000;
constexpr qint32 BlankedStart = 0xC000;
constexpr qint32 BlankedEnd = 0xCD00;
constexpr qint32 ProgressStep = 256;

enum class Source { Image, ShiftedImage, Erased };

struct Buffers
{
    const quint8 *img;
    const quint8 *dev;
    qint64 imageSize;
    qint64 uploadedSize;
};

// A stretch of addresses whose expected bytes come from one source: the image at p, the image
// at p + 0x6000, or nowhere (0xFF). Compared up to `available`, where the bytes run out or the
// stretch ends.
struct Segment
{
    Source source = Source::Image;
    qint32 end = 0;
    qint32 imageLimit = 0; // where the image runs out for this source
    qint32 available = 0;

    const quint8 *expected(const Buffers &b) const
    {
        return b.img + (source == Source::ShiftedImage ? RelocatedShift : 0);
    }
};

Segment segmentAt(qint32 p, qint32 limit, bool relocated, const Buffers &b)
{
    Segment s;
    s.end = limit;
    if (relocated) {
        for (qint32 boundary : {RelocatedStart, RelocatedEnd, BlankedStart, BlankedEnd}) {
            if (p < boundary && boundary < s.end)
                s.end = boundary;
        }
        if (p >= RelocatedStart && p < RelocatedEnd)
            s.source = Source::ShiftedImage;
        else if (p >= BlankedStart && p < BlankedEnd)
            s.source = Source::Erased;
    }
    qint32 available = s.end;
    if (s.source == Source::Image)
        available = qint32(std::min<qint64>(available, b.imageSize));
    else if (s.source == Source::ShiftedImage)
        available = qint32(std::min<qint64>(available, b.imageSize - RelocatedShift));
    s.imageLimit = available;
    available = qint32(std::min<qint64>(available, b.uploadedSize));
    s.available = std::max(available, p);
    return s;
}

// Builds the ranges from the differing addresses, given in ascending order.
class RangeCollector
{
public:
    void add(qint32 address)
    {
        if (address - m_current.end <= CompareResult::MergeGap
            && sameSector(m_current.end, address)) {
            m_current.end = address;
            ++m_current.bytes;
            return;
        }
        if (m_current.bytes > 0)
            m_ranges.push_back(m_current);
        m_current = {address, address, 1, -1};
    }

    QList<CompareRange> take(qint64 *bytes)
    {
        if (m_current.bytes > 0)
            m_ranges.push_back(m_current);
        m_current = {};
        *bytes = 0;
        for (const CompareRange &range : m_ranges)
            *bytes += range.bytes;
        return QList<CompareRange>(m_ranges.cbegin(), m_ranges.cend());
    }

private:
    // Every sector starts at a multiple of 8 KiB, so two addresses in one such block share
    // their sector without a look at the map.
    static bool sameSector(qint32 a, qint32 b)
    {
        constexpr qint32 SectorGrain = 0x2000;
        if (a / SectorGrain == b / SectorGrain || a >= FlashSize46xx)
            return true;
        return SectorOfAddress(a) == SectorOfAddress(b);
    }

    std::vector<CompareRange> m_ranges;
    // Far enough before any address that nothing merges with it until the first one comes.
    CompareRange m_current {0, -2 * CompareResult::MergeGap, 0, -1};
};

// Bit i set when the byte at dev + i differs from the expected one (0xFF when Erased), for
// 64 bytes.
template<bool Erased> inline quint64 differingMask(const quint8 *expected, const quint8 *dev)
{
#if defined(__SSE2__)
    const auto equalBits = [&](int i) {
        const __m128i found = _mm_loadu_si128(reinterpret_cast<const __m128i *>(dev + 16 * i));
        const __m128i wanted = Erased
            ? _mm_set1_epi8(char(0xFF))
            : _mm_loadu_si128(reinterpret_cast<const __m128i *>(expected + 16 * i));
        return quint64(quint16(_mm_movemask_epi8(_mm_cmpeq_epi8(found, wanted))));
    };
    return ~(equalBits(0) | equalBits(1) << 16 | equalBits(2) << 32 | equalBits(3) << 48);
#else
    quint64 mask = 0;
    for (int i = 0; i < 8; ++i) {
        const quint64 found = qFromLittleEndian<quint64>(dev + 8 * i);
        quint64 x = Erased ? ~found : found ^ qFromLittleEndian<quint64>(expected + 8 * i);
        // One bit per byte that is not zero, gathered into the top byte.
        x |= x >> 4;
        x |= x >> 2;
        x |= x >> 1;
        x &= 0x0101010101010101ULL;
        mask |= ((x * 0x0102040810204080ULL) >> 56) << (8 * i);
    }
    return mask;
#endif
}

// Adds every q in [from, to) where the found byte differs from the expected one (0xFF when
// Erased), 64 bytes at a time, so stretches without a difference cost little more than a
// memcmp does.
template<bool Erased>
void scan(const quint8 *expected, const quint8 *dev, qint32 from, qint32 to, RangeCollector &ranges)
{
    qint32 q = from;
    for (; q + 64 <= to; q += 64) {
        quint64 mask = differingMask<Erased>(Erased ? nullptr : expected + q, dev + q);
        while (mask != 0) {
            ranges.add(q + std::countr_zero(mask));
            mask &= mask - 1;
        }
    }
    for (; q < to; ++q) {
        if (dev[q] != (Erased ? 0xFF : expected[q]))
            ranges.add(q);
    }
}

// Collects the differences in [from, end) up to where either buffer runs out.
void collectRanges(qint32 from, qint32 end, bool relocated, const Buffers &b,
                   RangeCollector &ranges)
{
    qint32 p = from;
    while (p < end) {
        const Segment s = segmentAt(p, end, relocated, b);
        if (s.source == Source::Erased)
            scan<true>(nullptr, b.dev, p, s.available, ranges);
        else
            scan<false>(s.expected(b), b.dev, p, s.available, ranges);
        if (s.available < s.end)
            return;
        p = s.end;
    }
}

QString hexAddress(qint32 address)
{
    return QStringLiteral("%1").arg(address, 6, 16, QLatin1Char('0')).toUpper() + QLatin1Char('h');
}

} // namespace

bool imageIsRelocated(QByteArrayView image)
{
    if (image.size() < RelocatedStart + 4)
        return false;
    for (qint32 i = 0; i < 4; ++i) {
        if (quint8(image[RelocatedStart + i]) != 0xFF)
            return false;
    }
    return true;
}

CompareResult CompareData(QByteArrayView image, QByteArrayView uploaded, qint32 start, qint32 end,
                          bool relocationRule, const CompareProgress &progress)
{
    const bool relocated = relocationRule && imageIsRelocated(image);
    const Buffers buffers {reinterpret_cast<const quint8 *>(image.data()),
                           reinterpret_cast<const quint8 *>(uploaded.data()), image.size(),
                           uploaded.size()};

    CompareResult result;
    result.end = end;
    result.relocated = relocated;
    qint32 p = std::max(start, 0);
    if (progress)
        progress(p);

    // Works in runs that share one source of the expected bytes and end at the next multiple
    // of 256, so the progress report keeps its rhythm while the bytes are compared in bulk.
    while (p < end) {
        const Segment s = segmentAt(p, std::min<qint32>(end, (p / ProgressStep + 1) * ProgressStep),
                                    relocated, buffers);

        qint32 mismatch = s.available;
        if (s.source == Source::Erased) {
            for (qint32 q = p; q < s.available; ++q) {
                if (buffers.dev[q] != 0xFF) {
                    mismatch = q;
                    break;
                }
            }
        } else {
            const quint8 *expected = s.expected(buffers);
            if (std::memcmp(expected + p, buffers.dev + p, size_t(s.available - p)) != 0) {
                mismatch = qint32(
                    std::mismatch(expected + p, expected + s.available, buffers.dev + p).first
                    - expected);
            }
        }

        if (mismatch < s.available) {
            p = mismatch + 1;
            result.outcome = CompareResult::Outcome::Different;
            result.address = mismatch;
            break;
        }
        p = s.available;
        if (s.available < s.end) {
            result.outcome = s.available >= s.imageLimit ? CompareResult::Outcome::ImageEnded
                                                         : CompareResult::Outcome::DataEnded;
            result.address = qint32(result.outcome == CompareResult::Outcome::ImageEnded
                                        ? buffers.imageSize
                                        : buffers.uploadedSize);
            break;
        }
        if (progress && p % ProgressStep == 0 && p < end)
            progress(p);
    }

    if (result.outcome == CompareResult::Outcome::Different) {
        RangeCollector ranges;
        collectRanges(result.address, end, relocated, buffers, ranges);
        result.ranges = ranges.take(&result.bytesDiffering);
    }

    if (progress)
        progress(p);
    result.compared = p - std::max(start, 0);
    result.resultText = QStringLiteral("%1 bytes have been compared.\r\n\r\n").arg(result.compared);
    switch (result.outcome) {
    case CompareResult::Outcome::Equal:
        result.memoLine = QStringLiteral("Data compare complete!");
        result.resultText += QStringLiteral("Data compare successful!");
        break;
    case CompareResult::Outcome::Different:
        result.memoLine = QStringLiteral("Data compare aborted!");
        result.resultText += QStringLiteral("Different value at address %1 found!")
                                 .arg(hexAddress(result.address));
        break;
    case CompareResult::Outcome::ImageEnded:
        result.memoLine = QStringLiteral("Data compare aborted!");
        result.resultText
            += QStringLiteral("Image ends at address %1!\r\n"
                              "Data from %2 to %3 have not been compared!")
                   .arg(hexAddress(result.address), hexAddress(p), hexAddress(end - 1));
        break;
    case CompareResult::Outcome::DataEnded:
        result.memoLine = QStringLiteral("Data compare aborted!");
        result.resultText
            += QStringLiteral("Data read end at address %1!\r\n"
                              "Data from %2 to %3 have not been compared!")
                   .arg(hexAddress(result.address), hexAddress(p), hexAddress(end - 1));
        break;
    }
    return result;
}

void CompareResult::setSectors(DeviceKind deviceType, bool retain)
{
    const qint32 flashEnd = deviceType == DeviceKind::Board4610 ? FlashSize4610 : FlashSize46xx;
    for (CompareRange &range : ranges)
        range.sector = !retain && range.start < flashEnd ? SectorOfAddress(range.start) : -1;
}

QList<CompareRange> CompareResult::differingRuns(QByteArrayView image,
                                                 QByteArrayView uploaded) const
{
    QList<CompareRange> runs;
    const auto *img = reinterpret_cast<const quint8 *>(image.data());
    const auto *dev = reinterpret_cast<const quint8 *>(uploaded.data());
    for (const CompareRange &range : ranges) {
        for (qint32 q = range.start; q <= range.end && q < uploaded.size(); ++q) {
            // The ranges were found with these buffers, so every expected byte exists.
            quint8 expected = 0xFF;
            if (relocated && q >= RelocatedStart && q < RelocatedEnd)
                expected = img[q + RelocatedShift];
            else if (!relocated || q < BlankedStart || q >= BlankedEnd)
                expected = q < image.size() ? img[q] : dev[q];
            if (dev[q] == expected)
                continue;
            if (!runs.isEmpty() && runs.last().end == q - 1) {
                runs.last().end = q;
                ++runs.last().bytes;
            } else {
                runs.append({q, q, 1, range.sector});
            }
        }
    }
    return runs;
}

QByteArray imageWithDeviceBytes(QByteArrayView image, QByteArrayView uploaded, qint32 start,
                                qint32 end)
{
    QByteArray bytes = image.toByteArray();
    const qint32 to = qint32(std::min<qint64>(end, uploaded.size()));
    const qint32 from = std::max(start, 0);
    if (from >= to)
        return bytes;
    if (bytes.size() < to)
        bytes.resize(to, char(0xFF));
    std::memcpy(bytes.data() + from, uploaded.data() + from, size_t(to - from));
    return bytes;
}
