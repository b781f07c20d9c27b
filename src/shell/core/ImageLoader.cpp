#include "ImageLoader.h"
