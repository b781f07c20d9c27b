#include "base/BKGlobal.h"

DeviceKind DeviceType = DeviceKind::None;
TSettings Settings;
