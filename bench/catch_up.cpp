// What the window's return costs after a week out of sight, against a return after no time at
// all: the ticks it missed are made up at once, without painting. Prints the median of 9 returns
// of each, in milliseconds, on Qt's offscreen platform.
#include "Unit1.h"
#include "platform/port/active_port.h"
#include "platform/port/simulated_output.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    platform::port::Outcome refused;
    platform::port::ActivePort::instance().use(platform::port::traceOutput("/dev/null", TForm1::PuertoParalelo, &refused),
                                               TForm1::PuertoParalelo);
    qint64 now = 0;
    platform::Timer::setClock([&now] { return now; });
    TForm1 form;

    const auto medianReturn = [&](qint64 away) {
        std::vector<double> took;
        for (int i = 0; i < 9; ++i) {
            form.hide();
            while (form.centralwidget->seen())
                QCoreApplication::processEvents();
            now += away;
            QElapsedTimer clock;
            clock.start();
            form.show();
            while (!form.centralwidget->seen())
                QCoreApplication::processEvents();
            took.push_back(clock.nsecsElapsed() / 1e6);
        }
        std::nth_element(took.begin(), took.begin() + 4, took.end());
        return took[4];
    };
    form.show();
    const double none = medianReturn(0), week = medianReturn(7LL * 24 * 3600 * 1000);
    std::printf("return after 0 s: %.2f ms; after a week: %.2f ms\n", none, week);
    return 0;
}
