#include "about/About.h"
#include "shell/Window.h"
