#include "comm/CanBusSetting.h"

#include <QCanBus>

namespace {

const char *const kForm = "The accepted form is plugin:interface, for example socketcan:can0.";

bool isPluginChar(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
        || c == u'_';
}

} // namespace

QString CanBusFormatProblem(const QString &value)
{
    if (value.trimmed().isEmpty())
        return QStringLiteral("it is empty");
    // A plugin is a plain name; the interface may be a URL (the virtual bus, colons and all)
    // but holds no white space.
    for (const QChar c : value) {
        if (c.isSpace())
            return QStringLiteral("it holds blanks");
    }
    const qsizetype colon = value.indexOf(u':');
    if (colon < 0)
        return QStringLiteral("it has no \":\" between plugin and interface");
    if (colon == 0)
        return QStringLiteral("the plugin before \":\" is missing");
    if (colon == value.size() - 1)
        return QStringLiteral("the interface after \":\" is missing");
    for (const QChar c : value.left(colon)) {
        if (!isPluginChar(c))
            return QStringLiteral("the plugin \"%1\" is not a plain name (letters, digits, _)")
                .arg(value.left(colon));
    }
    return {};
}

bool SplitCanBusSetting(const QString &value, QString *plugin, QString *interfaceName)
{
    if (!CanBusFormatProblem(value).isEmpty())
        return false;
    const qsizetype colon = value.indexOf(u':');
    *plugin = value.left(colon);
    *interfaceName = value.mid(colon + 1);
    return true;
}

QString CanBusSettingProblem(const QString &value, const QStringList &plugins)
{
    const QString problem = CanBusFormatProblem(value);
    if (!problem.isEmpty())
        return QStringLiteral("The setting \"CANBus\" has the value \"%1\", which does not name a "
                              "CAN bus: %2. %3")
            .arg(value, problem, QLatin1String(kForm));
    const QString plugin = value.left(value.indexOf(u':'));
    if (!plugins.contains(plugin))
        return QStringLiteral("The setting \"CANBus\" has the value \"%1\", but there is no CAN "
                              "plugin \"%2\" (installed: %3). %4")
            .arg(value, plugin,
                 plugins.isEmpty() ? QStringLiteral("none") : plugins.join(QLatin1String(", ")),
                 QLatin1String(kForm));
    return {};
}

QString CanBusSettingProblem(const QString &value)
{
    return CanBusSettingProblem(value, QCanBus::instance()->plugins());
}
