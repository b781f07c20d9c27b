#include "BKGlobal.h"

quint8 DeviceType = DeviceNone;
TSettings Settings;
