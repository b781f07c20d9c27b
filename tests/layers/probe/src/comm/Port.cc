#include "comm/Port.hpp"
#include "transfer/Thing.h"
