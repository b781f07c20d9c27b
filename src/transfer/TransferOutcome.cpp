#include "transfer/TransferOutcome.h"

#include "base/ModalResult.h"

namespace TransferOutcomes {

int modalResult(TransferOutcome outcome)
{
    switch (outcome) {
    case TransferOutcome::Success:
    case TransferOutcome::Different: // the reading went through; the compare box says the rest
        return mrOk;
    case TransferOutcome::Aborted:
        return mrAbort;
    case TransferOutcome::Running:
    case TransferOutcome::Failed:
        break;
    }
    return mrCancel;
}

int exitStatus(TransferOutcome outcome)
{
    switch (outcome) {
    case TransferOutcome::Success:
        return ExitSuccess;
    case TransferOutcome::Aborted:
        return ExitAborted;
    case TransferOutcome::Different:
        return ExitDifferent;
    case TransferOutcome::Running:
    case TransferOutcome::Failed:
        break;
    }
    return ExitFailed;
}

TransferOutcome settled(TransferOutcome outcome, const TransferRecord &record)
{
    // A download's verify read decides its own outcome.
    if (outcome == TransferOutcome::Success && record.operation == TransferOperation::Compare
        && record.compared && !record.compareEqual)
        return TransferOutcome::Different;
    return outcome;
}

int exitStatus(const TransferRecord &record)
{
    return exitStatus(settled(record.outcome, record));
}

} // namespace TransferOutcomes
