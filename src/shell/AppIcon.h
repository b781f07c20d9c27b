#pragma once

#include <QIcon>

// The program's icon, drawn at the usual sizes: a flash chip with a download arrow.
QIcon BrasvikAppIcon();
