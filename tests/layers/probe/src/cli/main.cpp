#include "download/Writer.h"
#include <QApplication>
