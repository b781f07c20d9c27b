#pragma once

#include <QString>

// The "CANBus" setting names the bus the dongle library opens: "plugin:interface", e.g.
// "socketcan:can0" or "virtualcan:tcp://127.0.0.1:35468/can0".

// What is wrong with a value, in words for the user that name the setting, the value and the
// accepted form; empty when the value is fine and its plugin is installed.
QString CanBusSettingProblem(const QString &value);

// Splits a well-formed value; false (outputs untouched) for a malformed one.
bool SplitCanBusSetting(const QString &value, QString *plugin, QString *interfaceName);
