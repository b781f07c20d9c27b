#include "HexRecord.h"
