#include "base/BKGlobal.h"

quint8 DeviceType = DeviceNone;
TSettings Settings;
