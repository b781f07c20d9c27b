#include "ImageSaver.h"
