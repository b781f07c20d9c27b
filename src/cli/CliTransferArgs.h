#pragma once

#include "cli/CliOptions.h"
#include "cli/CliTransferFeeds.h"

#include <QStringList>

// A transfer command's arguments: the options every transfer takes (port, device, feeds) with
// the command's own, and the feeds taken from them.
struct CliTransferArgs
{
    CliTransferArgs(const QStringList &ownValues, const QStringList &ownFlags,
                    const QStringList &ownOptionalValues = {});
    // False with the usage message in `error`.
    [[nodiscard]] bool parse(const QStringList &args, QString *error);

    CliOptions options;
    CliFeedOptions feeds;
};
