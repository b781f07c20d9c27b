#include "TargetDevice.h"

#include "CanDownloadTarget.h"
#include "CanUploadTarget.h"
#include "SerialDownloadTarget.h"
#include "SerialUploadTarget.h"

namespace {

constexpr quint8 BootByte = 0x00;
constexpr quint8 LoaderStarted = 0x01;
constexpr quint8 ProgramStarted = 0xAA;

QString describe(const StandInProgram &p)
{
    return QStringLiteral("%1 (%2 %3 %4, %5%6)")
        .arg(p.fileName)
        .arg(p.role == StandInProgram::Role::Download ? QStringLiteral("download")
                                                      : QStringLiteral("upload"))
        .arg(p.data == StandInProgram::Data::Flash ? QStringLiteral("flash")
                                                   : QStringLiteral("retain"))
        .arg(p.device == StandInProgram::Device::Vmc46xx ? QStringLiteral("46xx")
                                                         : QStringLiteral("4610"))
        .arg(p.link == StandInProgram::Link::Rs232 ? QStringLiteral("RS-232")
                 : p.link == StandInProgram::Link::CanAny
                 ? QStringLiteral("CAN")
                 : QStringLiteral("CAN%1").arg(int(p.link)))
        .arg(p.canKbps ? QStringLiteral(" %1 kbit/s").arg(p.canKbps) : QString());
}

} // namespace

TargetDevice::TargetDevice(const SimOptions &options, DeviceMemory &memory, DeviceOutput &output,
                           SimSummary &summary)
    : m_ctx(options, memory, output, summary)
{ }

TargetDevice::~TargetDevice() = default;

void TargetDevice::powerOn()
{
    m_stage = Stage::WaitBoot;
    m_buffer.clear();
    m_loader.reset();
    m_program.reset();
    m_ctx.event(QStringLiteral("bootstrap mode"));
}

void TargetDevice::bootLinesSeen()
{
    m_bootLinesSeen = true;
    powerOn();
}

void TargetDevice::lineOpened(SimClock::Micros at)
{
    if (m_stage == Stage::WaitBoot)
        m_ctx.sendStartupStray(at);
}

void TargetDevice::serialByte(quint8 byte, SimClock::Micros at)
{
    switch (m_stage) {
    case Stage::WaitBoot:
        if (byte != BootByte) {
            m_ctx.event(QStringLiteral("not a boot byte: %1").arg(DeviceContext::hexByte(byte)));
            return;
        }
        if (!m_bootLinesSeen) {
            m_ctx.event(QStringLiteral("boot byte ignored: the DTR/RTS pattern has not come"));
            return;
        }
        m_ctx.event(QStringLiteral("boot byte"));
        m_stage = Stage::Loader;
        m_buffer.clear();
        m_expected = 0;
        if (m_ctx.options.idByte != 0xC5 && m_ctx.options.idByte != 0xD5)
            m_ctx.fault(QStringLiteral("identification byte %1")
                            .arg(DeviceContext::hexByte(m_ctx.options.idByte)));
        m_ctx.answer(FaultStep::Kind::Id, m_ctx.options.idByte, at);
        break;
    case Stage::Loader:
    case Stage::Program:
        collect(byte, at);
        break;
    case Stage::Running:
        m_program->serialByte(byte, at);
        break;
    case Stage::Refused:
        break;
    }
}

void TargetDevice::canFrame(quint32 id, QByteArrayView data, SimClock::Micros at)
{
    if (m_stage == Stage::Running)
        m_program->canFrame(id, data, at);
}

void TargetDevice::collect(quint8 byte, SimClock::Micros at)
{
    m_buffer.append(char(byte));
    if (m_buffer.size() == StandInProgram::LengthKnownAfter) {
        const std::optional<int> length = StandInProgram::declaredLength(m_buffer);
        if (!length) {
            refuse(QStringLiteral("%1 is not a stand-in target program (header %2)")
                       .arg(m_stage == Stage::Loader ? QStringLiteral("loader")
                                                     : QStringLiteral("program"),
                            QString::fromLatin1(m_buffer.toHex().toUpper())));
            return;
        }
        m_expected = *length;
    }
    if (m_expected > 0 && m_buffer.size() == m_expected) {
        if (m_stage == Stage::Loader)
            loaderComplete(at);
        else
            programComplete(at);
    }
}

void TargetDevice::loaderComplete(SimClock::Micros at)
{
    QString why;
    const std::optional<StandInProgram> loader = StandInProgram::parse(m_buffer, &why);
    if (!loader) {
        refuse(QStringLiteral("loader refused: %1").arg(why));
        return;
    }
    if (loader->stage != StandInProgram::Stage::Loader) {
        refuse(QStringLiteral("loader refused: %1 is a target program").arg(loader->fileName));
        return;
    }
    const QString problem = misfit(*loader);
    if (!problem.isEmpty()) {
        refuse(QStringLiteral("loader refused: %1 %2").arg(loader->fileName, problem));
        return;
    }
    m_ctx.summary.loader = loader->fileName;
    m_ctx.event(QStringLiteral("loader %1, %2 bytes").arg(describe(*loader)).arg(m_buffer.size()));
    m_loader = loader;
    m_stage = Stage::Program;
    m_buffer.clear();
    m_expected = 0;
    m_ctx.answer(FaultStep::Kind::Loader, LoaderStarted, at);
}

void TargetDevice::programComplete(SimClock::Micros at)
{
    QString why;
    const std::optional<StandInProgram> program = StandInProgram::parse(m_buffer, &why);
    if (!program) {
        refuse(QStringLiteral("program refused: %1").arg(why));
        return;
    }
    if (!program->belongsTo(*m_loader)) {
        refuse(QStringLiteral("program refused: %1 does not belong to loader %2")
                   .arg(program->fileName, m_loader->fileName));
        return;
    }
    const QString problem = misfit(*program);
    if (!problem.isEmpty()) {
        refuse(QStringLiteral("program refused: %1 %2").arg(program->fileName, problem));
        return;
    }
    m_ctx.summary.program = program->fileName;
    m_ctx.event(
        QStringLiteral("program %1, %2 bytes").arg(describe(*program)).arg(m_buffer.size()));
    m_buffer.clear();

    const bool retain = program->data == StandInProgram::Data::Retain;
    const bool board = program->device == StandInProgram::Device::Board4610;
    if (program->role == StandInProgram::Role::Download) {
        if (program->isCan()) {
            m_program = std::make_unique<CanDownloadTarget>(m_ctx, retain);
        } else {
            using Kind = SerialDownloadTarget::Kind;
            m_program = std::make_unique<SerialDownloadTarget>(m_ctx,
                                                               retain      ? Kind::Retain
                                                                   : board ? Kind::Flash4610
                                                                           : Kind::Flash46xx);
        }
    } else if (program->isCan()) {
        m_program = std::make_unique<CanUploadTarget>(m_ctx, retain);
    } else {
        using Kind = SerialUploadTarget::Kind;
        m_program = std::make_unique<SerialUploadTarget>(m_ctx,
                                                         retain      ? Kind::Retain
                                                             : board ? Kind::Flash4610
                                                                     : Kind::Flash46xx);
    }
    m_stage = Stage::Running;
    m_ctx.answer(FaultStep::Kind::Program, ProgramStarted, at);
    if (!m_ctx.isSilent())
        m_program->start(at);
}

void TargetDevice::refuse(const QString &why)
{
    m_stage = Stage::Refused;
    m_ctx.summary.result = why;
    m_ctx.event(why);
}

QString TargetDevice::misfit(const StandInProgram &p) const
{
    const SimOptions &o = m_ctx.options;
    const bool board = o.model == DeviceMemory::Model::Board4610;
    if ((p.device == StandInProgram::Device::Board4610) != board)
        return board ? QStringLiteral("is for a 46xx device, this is a 4610 board")
                     : QStringLiteral("is for the 4610 board, this is a 46xx device");
    if (p.stage == StandInProgram::Stage::Loader || !p.isCan())
        return {};
    if (o.canBus.isEmpty())
        return QStringLiteral("needs CAN, and this device has no CAN bus");
    if (o.canChannel != 0 && int(p.link) != o.canChannel)
        return QStringLiteral("talks on CAN%1, the bus is on CAN%2")
            .arg(int(p.link))
            .arg(o.canChannel);
    if (o.canBitrate != 0 && p.canKbps * 1000 != o.canBitrate)
        return QStringLiteral("runs at %1 kbit/s, the bus at %2 bit/s")
            .arg(p.canKbps)
            .arg(o.canBitrate);
    return {};
}
