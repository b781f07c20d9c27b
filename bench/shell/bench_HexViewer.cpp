// Repaint cost of the hex viewer: a full repaint of all three columns at the size of a
// maximised window, and a scroll step of one line, each compared with a 16 ms frame; then the
// full repaint with every visible byte of the data and character columns marked (a compare's
// differences at their most), against the repaint without marks measured alongside.
#include "base/BKGlobal.h"
#include "core/ImageState.h"
#include "shell/HexViewer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QRandomGenerator>
#include <QScrollBar>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

constexpr double FrameMs = 16.0;
constexpr int Rounds = 200;

// A full repaint renders the whole viewer: header, panels, columns and scroll bar.
double msPerFullRepaint(THexViewer &viewer, QImage &target)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Rounds; ++i)
        viewer.render(&target);
    return double(timer.nsecsElapsed()) / 1e6 / Rounds;
}

// A scroll step moves one line down and repaints what a scroll repaints on screen: the three
// columns and the scroll bar.
double msPerScrollStep(THexViewer &viewer, QImage &target)
{
    QWidget *const changed[] = {viewer.AddrBox, viewer.DataBox, viewer.ASCIIBox, viewer.VScrollBar};
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Rounds; ++i) {
        viewer.VScrollBar->setValue(viewer.VScrollBar->value() + viewer.LineHeight());
        for (QWidget *w : changed)
            w->render(&target, w->mapTo(&viewer, QPoint(0, 0)));
    }
    return double(timer.nsecsElapsed()) / 1e6 / Rounds;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    ImageState image;
    image.ImageBuffer.resize(0x100008);
    QRandomGenerator rng(4650);
    rng.fillRange(reinterpret_cast<quint32 *>(image.ImageBuffer.data()), 0x100000 / 4);
    image.FileName = QStringLiteral("bench.b86");
    image.ViewSize = 0x100000;
    DeviceType = DeviceKind::Device46xx;

    THexViewer viewer;
    viewer.setImage(&image);
    // The client area of a maximised window on a 1920 x 1080 screen.
    viewer.resize(1920, 980);
    viewer.setScrollRange(true);
    viewer.show();
    QImage target(viewer.size(), QImage::Format_ARGB32_Premultiplied);
    const int lines = int(viewer.paintLines(THexViewer::AddrColumn).size());

    msPerFullRepaint(viewer, target); // warm-up: fonts and glyph caches
    const double full = msPerFullRepaint(viewer, target);
    const double step = msPerScrollStep(viewer, target);

    // Every byte marked: one run per byte, so the lookup works as hard as it can.
    QList<HexLayout::MarkRun> every;
    for (qint32 a = 0; a < 0x100000; ++a)
        every.append({a, a + 1});
    // The fastest single repaint of each, alternating: other processes on the machine only
    // ever slow one down.
    const auto fastestRepaint = [&] {
        qint64 best = std::numeric_limits<qint64>::max();
        for (int i = 0; i < Rounds / 4; ++i) {
            QElapsedTimer timer;
            timer.start();
            viewer.render(&target);
            best = std::min(best, timer.nsecsElapsed());
        }
        return double(best) / 1e6;
    };
    double plain = 1e9;
    double marked = 1e9;
    for (int pass = 0; pass < 4; ++pass) {
        viewer.setMarks({});
        plain = std::min(plain, fastestRepaint());
        viewer.setMarks(every);
        marked = std::min(marked, fastestRepaint());
    }
    viewer.setMarks({});

    std::printf("hex viewer %dx%d, %d lines per column\n", viewer.width(), viewer.height(), lines);
    std::printf("full repaint: %.3f ms  (%.3f of a %.0f ms frame)\n", full, full / FrameMs,
                FrameMs);
    std::printf("scroll step:  %.3f ms  (%.3f of a %.0f ms frame)\n", step, step / FrameMs,
                FrameMs);
    std::printf("marked repaint, fastest: %.3f ms (goal < 2 ms); unmarked repaint in the same run: "
                "%.3f ms; ratio %.2f\n",
                marked, plain, marked / plain);
    return 0;
}
