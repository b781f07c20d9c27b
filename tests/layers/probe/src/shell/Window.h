#pragma once
#include "about/About.h"
#include "download/Writer.h"
#include <QMainWindow>
