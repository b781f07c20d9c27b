#pragma once

#include "base/DeviceKind.h"

#include <QtGlobal>

// Process-wide selections shared by the windows and the transfers. Read and written on the
// GUI thread only (the command-line tool runs its transfers on its main thread as well).

extern DeviceKind DeviceType;

// COMInterface values
enum : qint32 { InterfaceRS232 = 0, InterfaceCAN1 = 1, InterfaceCAN2 = 2 };

struct TSettings
{
    quint8 brDefault = 7;   // TBaudrate ordinal for the 46xx devices: 3, 4, 6 or 7
    quint8 brCVBRDx = 7;    // TBaudrate ordinal for the 4610 board: 3, 4, 6, 7 or 8
    bool DownloadOpt1 = false;
    bool DownloadVerify = false; // read a download back and compare it (the download window)
    bool UploadOpt1 = false;
    bool UploadOpt2 = false;
    bool UploadOpt3 = false;
    bool UploadOpt4 = false;
    bool UploadOpt5 = false;
    bool UploadOpt6 = false;
    qint32 COMInterface = InterfaceRS232;
    bool CANEnabled = false;
    bool CANEPP = false;
    quint8 CANBaudrate = 7; // 5 = 125, 6 = 250, 7 = 500 kbit/s
    quint8 CANIOPort = 11;  // index into the parallel-port address list (0378h)
    quint8 CANInterrupt = 3; // index into the interrupt list (IRQ 7)
};

extern TSettings Settings;
