#include <shell/Window.h>
#include <sys/types.h>
