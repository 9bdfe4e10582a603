// Times the brightness panel's temperature poll: one tick makes four
// temperature-and-alarm reads in a row on the GUI thread, each waiting for the
// device's reply. Prints the median of 20 ticks (and min / max) in ms, then
// the same for a few ticks against a device that does not answer, which is
// how long the window freezes each second while a source is unplugged.
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
constexpr int kSilentTicks = 3;

struct Figures
{
    double median;
    double min;
    double max;
};

// Times `count` ticks of the panel's poll slot, called as the timer calls it
// but without the one-second wait between ticks.
Figures timeTicks(MultiBrightAdjustWidget *panel, int count)
{
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer clock;
        clock.start();
        QMetaObject::invokeMethod(panel, "onTimerTimeout", Qt::DirectConnection);
        ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    const double median = n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2.0;
    return {median, ms.front(), ms.back()};
}

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
    Figures answered{};
    Figures silent{};
    {
        MultiBrightAdjustWidget panel(nullptr);
        QObject::connect(&panel, &MultiBrightAdjustWidget::statusInfoChanged,
                         [&failed](const QString &) { ++failed; });
        panel.updateDeviceControl(&dev);
        failed = 0;
        answered = timeTicks(&panel, kTicks);
        const int failedAnswered = failed;

        SimFaults faults;
        faults.silent = true;
        sim.setFaults(faults);
        silent = timeTicks(&panel, kSilentTicks);
        failed = failedAnswered;
        panel.updateDeviceControl(nullptr);
    }
    dev.close();
    sim.stop();

    std::printf("poll tick (4 temperature reads), %d ticks, device answering: median %.2f ms, "
                "min %.2f ms, max %.2f ms, failed reads %d\n",
                kTicks, answered.median, answered.min, answered.max, failed);
    std::printf("poll tick, %d ticks, device silent: median %.0f ms, min %.0f ms, max %.0f ms\n",
                kSilentTicks, silent.median, silent.min, silent.max);
    return failed == 0 ? 0 : 1;
}
