#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The memories of the simulated controller and how they behave.
//
// Flash behaves like flash: erasing sets a sector to 0xFF, programming can only clear bits
// (the new content is old AND data), and the caller verifies by reading back. The NV RAM is
// plain RAM. The 4610 board also keeps an NV parameter area that its combined firmware image
// carries after the flash part.
//
// The sector map is the device's own (19 sectors over 1 MiB); the 4610 board uses the first
// 0x50000 bytes of the same address space and is only ever erased as a whole.
//
// Memory file layout (raw bytes, no header): the flash, then the NV parameter area (4610
// board only), then the NV RAM. A 4610 memory file therefore starts with exactly the 329984
// bytes of a combined firmware image.
class DeviceMemory
{
public:
    enum class Model { Vmc46xx, Board4610 };

    static constexpr int SectorCount = 19;
    static constexpr int FullFlashSize = 0x100000;

    explicit DeviceMemory(Model model);

    Model model() const { return m_model; }
    int flashSize() const { return int(m_flash.size()); }
    int nvRamSize() const { return int(m_nvRam.size()); }
    int nvParameterSize() const { return int(m_nvParameters.size()); }

    // Start address of sector n for n in 0..19 (19 is the end of the flash); -1 otherwise.
    static int sectorStart(int n);
    // Sector that holds the address (0..18); -1 outside the 1 MiB space.
    static int sectorOf(int address);

    // Erases the sectors [first, end) as far as they lie in this device's flash; returns the
    // number of bytes set to 0xFF.
    int eraseSectors(int first, int end);
    void eraseAll();

    // Programs bytes from the address on (old AND new); false when the range leaves the
    // flash. Whether the write took is for the caller to verify with readFlash.
    bool program(int address, QByteArrayView data);
    QByteArray readFlash(int address, int count) const;

    QByteArray &nvRam() { return m_nvRam; }
    const QByteArray &nvRam() const { return m_nvRam; }
    QByteArray &nvParameters() { return m_nvParameters; }
    const QByteArray &nvParameters() const { return m_nvParameters; }
    const QByteArray &flash() const { return m_flash; }

    static qsizetype fileSize(Model model);
    QByteArray fileImage() const;
    // Replaces the contents from a memory file image; false (contents unchanged) when the
    // size does not fit the model.
    bool setFileImage(const QByteArray &image, QString *error);

    bool load(const QString &path, QString *error);
    bool save(const QString &path, QString *error) const;

private:
    Model m_model;
    QByteArray m_flash;
    QByteArray m_nvParameters;
    QByteArray m_nvRam;
};
