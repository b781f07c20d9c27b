#pragma once
#include "transfer/Thing.h"
#include "download/Writer.h"
