#pragma once
#include "base/Base.h"
#include "transfer/Thing.h"
