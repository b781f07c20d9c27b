#include "H86Reader.h"
