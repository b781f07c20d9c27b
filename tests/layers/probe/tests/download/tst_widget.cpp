#include "download/Writer.h"
#include <QWidget>
