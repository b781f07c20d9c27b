#include "core/Up.h"
#include "download/Writer.h"
#include "support/Fixture.h"
#include "tst_up.moc"
