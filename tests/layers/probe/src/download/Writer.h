#pragma once
#include "transfer/Thing.h"
