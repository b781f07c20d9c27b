#pragma once

// Qt's virtual-bus plugin tells about every connection and every attempt to host the bus at
// information level; this switches those levels off for its logging category, once for the
// process, and keeps its warnings. Explicit rules for it in QT_LOGGING_RULES win.
void QuietVirtualBusChatter();
