#include "comm/CanBusSetting.h"

#include <QCanBus>
#include <QRegularExpression>
#include <QStringList>

namespace {

const char *const kForm = "The accepted form is plugin:interface, for example socketcan:can0.";

} // namespace

bool SplitCanBusSetting(const QString &value, QString *plugin, QString *interfaceName)
{
    // A plugin is a plain name; the interface may be a URL (the virtual bus) but holds no
    // white space.
    static const QRegularExpression form(QStringLiteral("^([A-Za-z0-9_]+):(\\S+)$"));
    const QRegularExpressionMatch match = form.match(value);
    if (!match.hasMatch())
        return false;
    *plugin = match.captured(1);
    *interfaceName = match.captured(2);
    return true;
}

QString CanBusSettingProblem(const QString &value)
{
    QString plugin;
    QString interfaceName;
    if (!SplitCanBusSetting(value, &plugin, &interfaceName))
        return QStringLiteral("The setting \"CANBus\" has the value \"%1\", which does not name a "
                              "CAN bus. %2")
            .arg(value, QLatin1String(kForm));
    const QStringList installed = QCanBus::instance()->plugins();
    if (!installed.contains(plugin))
        return QStringLiteral("The setting \"CANBus\" has the value \"%1\", but there is no CAN "
                              "plugin \"%2\" (installed: %3). %4")
            .arg(value, plugin,
                 installed.isEmpty() ? QStringLiteral("none") : installed.join(QLatin1String(", ")),
                 QLatin1String(kForm));
    return {};
}
