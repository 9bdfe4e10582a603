// Times the brightness panel's temperature poll: one tick makes four
// temperature-and-alarm reads in a row on the GUI thread, each waiting for the
// device's reply. Prints the median of 20 ticks (and min / max) in ms.
//
// Run offscreen: QT_QPA_PLATFORM=offscreen ./bench_poll_tick

#include "DeviceControl.h"
#include "VirtualLightSource.h"
#include "panels/MultiBrightAdjustWidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMetaObject>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kTicks = 20;

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);

    SimOptions opts;
    opts.fixedTemps = true;
    VirtualLightSource sim(opts);
    if (!sim.start()) {
        std::fprintf(stderr, "bench_poll_tick: cannot start the light source: %s\n",
                     sim.errorText().c_str());
        return 1;
    }
    DeviceControl dev;
    if (!dev.open(sim.portPath().c_str())) {
        std::fprintf(stderr, "bench_poll_tick: cannot open %s\n", sim.portPath().c_str());
        return 1;
    }

    int failed = 0;
    std::vector<double> ms;
    {
        MultiBrightAdjustWidget panel(nullptr);
        QObject::connect(&panel, &MultiBrightAdjustWidget::statusInfoChanged,
                         [&failed](const QString &) { ++failed; });
        panel.updateDeviceControl(&dev);
        failed = 0;

        // The tick is the timer's slot; calling it directly times exactly
        // what the timer runs, without the one-second wait between ticks.
        for (int i = 0; i < kTicks; ++i) {
            QElapsedTimer clock;
            clock.start();
            QMetaObject::invokeMethod(&panel, "onTimerTimeout", Qt::DirectConnection);
            ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        }
        panel.updateDeviceControl(nullptr);
    }
    dev.close();
    sim.stop();

    std::sort(ms.begin(), ms.end());
    const double median = (ms[kTicks / 2 - 1] + ms[kTicks / 2]) / 2.0;
    std::printf("poll tick (4 temperature reads), %d ticks: median %.2f ms, min %.2f ms, "
                "max %.2f ms, per read %.2f ms, failed reads %d\n",
                kTicks, median, ms.front(), ms.back(), median / 4.0, failed);
    return failed == 0 ? 0 : 1;
}
