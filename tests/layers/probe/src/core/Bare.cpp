#include <Base.h>
