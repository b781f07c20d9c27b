#include "ImageState.h"
