#include "shell/Window.h"
#include <QDialog>
