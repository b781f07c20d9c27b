#include "cli/CliTransferArgs.h"

#include "cli/CliTransferSetup.h"

CliTransferArgs::CliTransferArgs(const QStringList &ownValues, const QStringList &ownFlags,
                                 const QStringList &ownOptionalValues)
    : options(CliTransferSetup::valueOptions() + CliFeedOptions::valueOptions() + ownValues,
              CliTransferSetup::flagOptions() + CliFeedOptions::flagOptions() + ownFlags,
              ownOptionalValues)
{ }

bool CliTransferArgs::parse(const QStringList &args, QString *error)
{
    if (!options.parse(args)) {
        *error = options.error();
        return false;
    }
    return CliFeedOptions::fromOptions(options, &feeds, error);
}
