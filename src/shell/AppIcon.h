#pragma once

#include <QIcon>

// The program's icon, drawn at the usual sizes: a flash chip with a download arrow.
QIcon BrasvikAppIcon();
// Toolbar pictures of the transfers: the chip with the arrow into it, or out of it.
QIcon BrasvikDownloadIcon();
QIcon BrasvikUploadIcon();
// The Open command's folder.
QIcon BrasvikOpenIcon();
