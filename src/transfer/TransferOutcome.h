#pragma once

#include "transfer/TransferRecord.h"

// The one place where a transfer's outcome becomes a window's modal result and a command-line
// exit status.
namespace TransferOutcomes {

// Exit statuses of brasvik-cli's transfer commands.
enum ExitStatus : int {
    ExitSuccess = 0,
    ExitUsage = 1, // bad arguments or input, nothing sent
    ExitFailed = 2, // user break, time-out, line or dongle error, error reported by the device
    ExitAborted = 3, // refused before the transfer: target file, port, prompt declined, ...
    ExitDifferent = 4, // compare: the data differ or were not all compared
};

int modalResult(TransferOutcome outcome); // mrOk, mrCancel or mrAbort
int exitStatus(TransferOutcome outcome);
// A transfer's outcome once its compare is known: a reading that succeeded but differs from the
// image is Different, never Success.
TransferOutcome settled(TransferOutcome outcome, const TransferRecord &record);
// As above, of the record's settled outcome.
int exitStatus(const TransferRecord &record);

} // namespace TransferOutcomes
