#include "ContentText.h"
