#include "download/Writer.h"
#include "upload/Reader.h"
