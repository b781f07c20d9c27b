#pragma once

#include <QString>
#include <QStringList>

// The "CANBus" setting names the bus the dongle library opens: "plugin:interface", e.g.
// "socketcan:can0" or "virtualcan:tcp://127.0.0.1:35468/can0".

// Why a value is not of the form plugin:interface, in a few words ("it is empty"); empty when
// it is. The one check of the form: the dongle library, the transfers and the doctor use it.
QString CanBusFormatProblem(const QString &value);

// What is wrong with a value, in words for the user that name the setting, the value and the
// accepted form; empty when the value is fine and its plugin is one of `plugins`.
QString CanBusSettingProblem(const QString &value, const QStringList &plugins);
// As above, against the CAN plugins of this Qt installation.
QString CanBusSettingProblem(const QString &value);

// Splits a well-formed value; false (outputs untouched) for a malformed one.
bool SplitCanBusSetting(const QString &value, QString *plugin, QString *interfaceName);
