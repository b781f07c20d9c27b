#include "DeviceMemory.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>

namespace {

constexpr int Flash4610Size = 0x50000;
constexpr int NvParameter4610Size = 2304;
constexpr int NvRam46xxSize = 4096;
constexpr int NvRam4610Size = 0x7000;

} // namespace

DeviceMemory::DeviceMemory(Model model)
    : m_model(model)
    , m_flash(model == Model::Vmc46xx ? FullFlashSize : Flash4610Size, char(0xFF))
    , m_nvParameters(model == Model::Vmc46xx ? 0 : NvParameter4610Size, char(0xFF))
    , m_nvRam(model == Model::Vmc46xx ? NvRam46xxSize : NvRam4610Size, char(0x00))
{ }

int DeviceMemory::sectorStart(int n)
{
    static constexpr int small[] = {0x0000, 0x4000, 0x6000, 0x8000, 0x10000};
    if (n < 0 || n > SectorCount)
        return -1;
    if (n <= 4)
        return small[n];
    return (n - 3) * 0x10000;
}

int DeviceMemory::sectorOf(int address)
{
    if (address < 0 || address >= FullFlashSize)
        return -1;
    for (int n = SectorCount - 1; n >= 0; --n) {
        if (address >= sectorStart(n))
            return n;
    }
    return 0;
}

int DeviceMemory::eraseSectors(int first, int end)
{
    const int from = sectorStart(first);
    const int to = qMin(sectorStart(end), flashSize());
    if (from < 0 || to < 0 || from >= to)
        return 0;
    std::fill(m_flash.begin() + from, m_flash.begin() + to, char(0xFF));
    return to - from;
}

void DeviceMemory::eraseAll()
{
    m_flash.fill(char(0xFF));
}

bool DeviceMemory::program(int address, QByteArrayView data)
{
    if (address < 0 || data.size() > flashSize() || address > flashSize() - data.size())
        return false;
    char *cell = m_flash.data() + address;
    for (qsizetype i = 0; i < data.size(); ++i)
        cell[i] = char(quint8(cell[i]) & quint8(data[i]));
    return true;
}

QByteArray DeviceMemory::readFlash(int address, int count) const
{
    if (address < 0 || count < 0 || address > flashSize() - count)
        return {};
    return m_flash.mid(address, count);
}

qsizetype DeviceMemory::fileSize(Model model)
{
    return model == Model::Vmc46xx ? FullFlashSize + NvRam46xxSize
                                   : Flash4610Size + NvParameter4610Size + NvRam4610Size;
}

QByteArray DeviceMemory::fileImage() const
{
    return m_flash + m_nvParameters + m_nvRam;
}

bool DeviceMemory::setFileImage(const QByteArray &image, QString *error)
{
    if (image.size() != fileSize(m_model)) {
        if (error) {
            *error = QStringLiteral("memory file holds %1 bytes; a %2 needs %3")
                         .arg(image.size())
                         .arg(m_model == Model::Vmc46xx ? QStringLiteral("46xx device")
                                                        : QStringLiteral("4610 board"))
                         .arg(fileSize(m_model));
        }
        return false;
    }
    qsizetype at = 0;
    for (QByteArray *part : {&m_flash, &m_nvParameters, &m_nvRam}) {
        *part = image.mid(at, part->size());
        at += part->size();
    }
    return true;
}

bool DeviceMemory::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    // Never read more than a memory file can hold: a wrong file must not eat the memory.
    const QByteArray image = file.read(fileSize(m_model) + 1);
    return setFileImage(image, error);
}

bool DeviceMemory::save(const QString &path, QString *error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(fileImage()) != fileSize(m_model)
        || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
