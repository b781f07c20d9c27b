#pragma once
#include "base/Base.h"
#include <QDialog>
