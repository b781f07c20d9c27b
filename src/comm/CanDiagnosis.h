#pragma once

#include "base/DiagnosisCheck.h"
#include "comm/CanLinkInfo.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// What stops the CAN bus of the "CANBus" setting ("plugin:interface"): the Qt plugin, and for
// socketcan the interface (present, up, bit rate, controller state, automatic restart) as
// sysfs and rtnetlink show it to any user; for the virtual bus whether its server answers.
namespace CanDiagnosis {

struct Environment
{
    QString sysfsNetRoot = QStringLiteral("/sys/class/net");
    QStringList plugins; // the CAN plugins Qt offers
    std::function<std::optional<CanLinkInfo>(const QString &interfaceName)> linkInfo;
    int connectTimeoutMs = 1000;

    static Environment current();
};

// The checks for `bus`; `bitrate` (bit/s) is the rate the transfers use.
DiagnosisChecks run(const QString &bus, int bitrate, const Environment &env);

} // namespace CanDiagnosis
