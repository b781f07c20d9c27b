#pragma once
#include "core/Up.h"
