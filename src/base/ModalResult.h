#pragma once

// Modal results of the dialogs and transfer windows: what QDialog::exec() returns.
enum ModalResult : int {
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    // A transfer window that could not even start (missing target file, port not opened, ...).
    mrAbort = 3,
};
