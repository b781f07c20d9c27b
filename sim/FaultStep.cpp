#include "FaultStep.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<const char *, FaultStep::Kind>, 9> Names = {{
    {"startup", FaultStep::Kind::Startup},
    {"id", FaultStep::Kind::Id},
    {"loader", FaultStep::Kind::Loader},
    {"program", FaultStep::Kind::Program},
    {"start-sector", FaultStep::Kind::StartSector},
    {"end-sector", FaultStep::Kind::EndSector},
    {"erase", FaultStep::Kind::Erase},
    {"block", FaultStep::Kind::Block},
    {"end", FaultStep::Kind::End},
}};

} // namespace

std::optional<FaultStep> FaultStep::parse(const QString &text)
{
    const QString name = text.section(QLatin1Char(':'), 0, 0).trimmed().toLower();
    const QString arg = text.section(QLatin1Char(':'), 1);
    for (const auto &[stepName, kind] : Names) {
        if (name != QLatin1String(stepName))
            continue;
        FaultStep step;
        step.kind = kind;
        if (kind == Kind::Block) {
            bool ok = false;
            step.block = arg.toInt(&ok);
            if (!ok || step.block < 1)
                return std::nullopt;
        } else if (!arg.isEmpty()) {
            return std::nullopt;
        }
        return step;
    }
    return std::nullopt;
}

QString FaultStep::text() const
{
    for (const auto &[stepName, stepKind] : Names) {
        if (stepKind == kind) {
            return kind == Kind::Block ? QStringLiteral("block:%1").arg(block)
                                       : QString::fromLatin1(stepName);
        }
    }
    return {};
}
