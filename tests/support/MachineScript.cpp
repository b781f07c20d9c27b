#include "support/MachineScript.h"

#include <QStringList>

QList<MachineInput> machineScript(const QString &line)
{
    QList<MachineInput> inputs;
    for (const QString &word : line.split(u' ', Qt::SkipEmptyParts)) {
        const QString token = word.section(u'*', 0, 0);
        const int times = word.contains(u'*') ? word.section(u'*', 1).toInt() : 1;
        MachineInput input;
        if (token == QLatin1String("T"))
            input = MachineInput::timeout();
        else if (token == QLatin1String("B"))
            input = MachineInput::userBreak();
        else if (token == QLatin1String("C"))
            input = MachineInput::canPhase();
        else if (token == QLatin1String("E"))
            input = MachineInput::lineError(0x0002);
        else if (token == QLatin1String("X"))
            input = MachineInput::canError(0x0010);
        else if (token.contains(u':'))
            input = MachineInput::can(token.section(u':', 0, 0).toUInt(nullptr, 16),
                                      QByteArray::fromHex(token.section(u':', 1).toLatin1()));
        else
            input = MachineInput::read(QByteArray::fromHex(token.toLatin1()));
        for (int i = 0; i < times; ++i)
            inputs << input;
    }
    return inputs;
}
