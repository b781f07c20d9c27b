#include "transfer/TransferOutcome.h"

#include "base/ModalResult.h"

namespace TransferOutcomes {

int modalResult(TransferOutcome outcome)
{
    switch (outcome) {
    case TransferOutcome::Success:
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
    case TransferOutcome::Running:
    case TransferOutcome::Failed:
        break;
    }
    return ExitFailed;
}

int exitStatus(const TransferRecord &record)
{
    if (record.outcome == TransferOutcome::Success && record.compared && !record.compareEqual)
        return ExitDifferent;
    return exitStatus(record.outcome);
}

} // namespace TransferOutcomes
