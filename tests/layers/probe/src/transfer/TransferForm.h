#pragma once
#include <QDialog>
#include <QElapsedTimer>
