#include "comm/CanBusLogging.h"

#include <QLoggingCategory>
#include <QString>

#include <atomic>
#include <mutex>

namespace {

// Qt's virtual-bus plugin reports every client's connection and every attempt to host the bus
// ("Server ... could not be started, port ... is already in use") as information. On a run
// against a bus hosted elsewhere that is chatter, not news: those levels are switched off for
// its category, its warnings stay. Explicit logging rules for it in the environment win.
QLoggingCategory::CategoryFilter g_previousFilter = nullptr;
std::atomic<bool> g_previousFilterSet {false};

void quietVirtualBusFilter(QLoggingCategory *category)
{
    if (g_previousFilterSet.load() && g_previousFilter)
        g_previousFilter(category);
    if (qstrncmp(category->categoryName(), "qt.canbus.plugins.virtualcan", 28) == 0) {
        category->setEnabled(QtDebugMsg, false);
        category->setEnabled(QtInfoMsg, false);
    }
}

} // namespace

void QuietVirtualBusChatter()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (qEnvironmentVariable("QT_LOGGING_RULES").contains(QLatin1String("qt.canbus")))
            return;
        // The filter runs for every category inside installFilter already, before the previous
        // one is known; it leaves their levels alone then and is run once more afterwards.
        g_previousFilter = QLoggingCategory::installFilter(quietVirtualBusFilter);
        g_previousFilterSet = true;
        QLoggingCategory::installFilter(quietVirtualBusFilter);
    });
}
