// SPDX-License-Identifier: MIT
// Measures an update against the simulated unit: pace, CPU cost, poll period,
// idle cost while connected, start-up time with large firmware files, and
// peak memory. Prints one "name: value" line per figure.
//
//   wendrix_bench            the update, idle and memory figures
//   wendrix_bench --startup FOLDER  (run by the above) start-up with 3 x 65,535 lines

#include "app/dialog.h"
#include "sim/tqr7hid.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/texts.h"
#include "tests/support/widgets.h"

#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// Runs the event loop as the program itself does until done() holds. (QTest's
// waits sleep between event batches, which would delay the poll ticks.)
template<typename Predicate> bool runUntil(Predicate done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(50);
    loop.exec();
    return done();
}

double steadyMs()
{
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

// Child: how long from process start until the first poll tick looks for the
// unit, when the dialog has four files of 65,535 lines to count first; then
// how long from the press of Update to the first data report, when the three
// files are checked first; and the peak memory after that.
int startup(const QString &firmwareFolder)
{
    Tqr7Hid::reset();
    const double resetAt = steadyMs();
    Dialog dialog(firmwareFolder);
    dialog.show();
    if (!runUntil([] { return !Tqr7Hid::openAttemptTimes().empty(); }, 60000))
        return 1;
    const double firstTick = resetAt + Tqr7Hid::openAttemptTimes().front();
    QPushButton *button = DialogWidgets(dialog).button;
    if (!runUntil([&] { return button->isEnabled(); }, 60000))
        return 1;
    const double pressedAt = Tqr7Hid::nowMs();
    button->click();
    if (Tqr7Hid::writtenDataReports().empty())
        return 1;
    const double firstWrite = Tqr7Hid::writtenDataReports().front().timeMs - pressedAt;
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.3f %.1f %.1f\n", firstTick, firstWrite, double(usage.ru_maxrss) / 1024);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const double processStart = steadyMs();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    if (argc > 2 && QByteArray(argv[1]) == "--startup")
        return startup(QString::fromLocal8Bit(argv[2]));
    (void)processStart;

    // The link: how soon an attached unit is opened, the query period of a
    // unit that never answers, and how soon an answering unit is ready.
    {
        Tqr7Hid::reset();
        Tqr7Hid::unplug();
        Tqr7Hid::setUpdateMode(false);
        Dialog dialog(FirmwareFolder::none());
        dialog.show();
        runUntil([] { return false; }, 600);
        const double attachedAt = Tqr7Hid::nowMs();
        Tqr7Hid::attach();
        runUntil([] { return Tqr7Hid::openHandles() > 0; }, 5000);
        const double openedAt = Tqr7Hid::openAttemptTimes().back();
        runUntil([] { return false; }, 5500);
        std::vector<double> queries;
        for (const Tqr7Hid::Written &w : Tqr7Hid::writtenReports())
            queries.push_back(w.timeMs);
        std::vector<double> gaps;
        for (size_t i = 1; i < queries.size(); ++i)
            gaps.push_back(queries[i] - queries[i - 1]);
        const std::vector<double> reads = Tqr7Hid::readTimes();
        std::vector<double> polls;
        for (size_t i = 1; i < reads.size(); ++i)
            polls.push_back(reads[i] - reads[i - 1]);
        std::printf("open latency after attach ms: %.1f\n", openedAt - attachedAt);
        std::printf("first query after open ms: %.1f\n", queries.empty() ? -1 : queries.front() - openedAt);
        std::printf("query period median ms: %.1f (%zu queries)\n", percentile(gaps, 0.5), queries.size());
        std::printf("idle poll period median ms: %.2f\n", percentile(polls, 0.5));
    }

    // The sample set's sizes: 400 + 2 x 500 + 1,600 = 3,000 lines.
    const int gpio = 400, midi = 500, main = 1600;
    const int total = gpio + 2 * midi + main;
    {
        Tqr7Hid::reset();
        FirmwareFolder firmware;
        firmware.writeSet(gpio, midi, main);
        Dialog dialog(firmware.path());
        dialog.show();
        const DialogWidgets widgets(dialog);
        QPushButton *button = widgets.button;
        QLabel *result = widgets.complete;
        if (!runUntil([&] { return button->isEnabled(); }, 10000)) {
            std::fprintf(stderr, "bench: the unit did not become ready\n");
            return 1;
        }

        // Connected and idle: what the 10 ms poll costs while nothing happens.
        const double idleSeconds = 10;
        const double idleCpu0 = cpuSeconds();
        runUntil([] { return false; }, int(idleSeconds * 1000));
        const double idleCpu = cpuSeconds() - idleCpu0;

        const size_t readsBefore = Tqr7Hid::readTimes().size();
        const double cpu0 = cpuSeconds();
        const auto start = Clock::now();
        const double pressedAt = Tqr7Hid::nowMs();
        button->click();
        // The press asks the buses for a hold on sleep and shutdown without
        // waiting for them: a bus that never answers must not show here.
        const double firstReportMs = Tqr7Hid::writtenDataReports().empty()
            ? -1
            : Tqr7Hid::writtenDataReports().front().timeMs - pressedAt;
        if (!runUntil([&] { return result->isVisible(); }, 120000)) {
            std::fprintf(stderr, "bench: the update did not end\n");
            return 1;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = cpuSeconds() - cpu0;
        if (result->text() != Texts::kComplete || Tqr7Hid::writtenDataReports().size() != size_t(total)
            || !Tqr7Hid::violations().empty()) {
            std::fprintf(stderr, "bench: the update did not complete cleanly\n");
            return 1;
        }

        std::vector<double> reads = Tqr7Hid::readTimes();
        reads.erase(reads.begin(), reads.begin() + long(readsBefore));
        std::vector<double> periods;
        for (size_t i = 1; i < reads.size(); ++i)
            periods.push_back(reads[i] - reads[i - 1]);

        const double rate = total / seconds;
        std::printf("lines: %d\n", total);
        std::printf("update seconds: %.2f\n", seconds);
        std::printf("lines per second: %.1f\n", rate);
        std::printf("ratio to 100 lines/s ceiling: %.3f\n", rate / 100);
        std::printf("cpu seconds per 1000 lines: %.3f\n", cpu * 1000 / total);
        std::printf("poll period median ms: %.2f\n", percentile(periods, 0.5));
        std::printf("poll period p99 ms: %.2f\n", percentile(periods, 0.99));
        std::printf("poll period max ms: %.2f\n", percentile(periods, 1));
        std::printf("Update pressed to first data report ms (3,000-line set): %.2f\n", firstReportMs);
        std::printf("idle connected cpu seconds per minute: %.3f (%.2f%% of a core)\n",
            idleCpu * 60 / idleSeconds, idleCpu * 100 / idleSeconds);
    }

    // Start-up with the largest files a unit takes, in a fresh process.
    {
        FirmwareFolder firmware;
        firmware.writeSet(65535, 65535, 65535);
        QProcess child;
        const double spawned = steadyMs();
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--startup"), firmware.path()});
        if (!child.waitForFinished(120000) || child.exitCode() != 0) {
            std::fprintf(stderr, "bench: start-up run failed\n");
            return 1;
        }
        const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
        if (figures.size() != 3) {
            std::fprintf(stderr, "bench: start-up run printed no figures\n");
            return 1;
        }
        std::printf("start to first poll tick ms (4 x 65,535 lines counted): %.0f\n",
            figures[0].toDouble() - spawned);
        std::printf("Update pressed to first data report ms (3 x 65,535-line files checked): %.1f\n",
            figures[1].toDouble());
        std::printf(
            "peak memory MiB with 3 x 65,535-line files, after the press: %.1f\n", figures[2].toDouble());
    }

    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory MiB: %.1f\n", double(usage.ru_maxrss) / 1024);
    return 0;
}
