#include "R86Writer.h"
