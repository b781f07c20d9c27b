#include "B86Format.h"
