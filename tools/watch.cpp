// SPDX-License-Identifier: MIT
// Watches the real, unchanged wendrix executable from inside its process:
// preloaded (LD_PRELOAD=libwendrix_watch.so), it finds the dialog's widgets
// by object name and prints each change of what the operator sees on stderr,
// one line each, with milliseconds since start. (Windows has no preloading:
// the demo variant there, wendrix_demo.exe, has it built in.)
//
//   watch 1234 status "Ready For Update"
//   watch 1240 button enabled
//   watch 1250 press 1
//   watch 9876 result "Update Complete. Power Cycle Unit!"
//   watch 9990 held 5012      (the window answered nothing for 5012 ms)
//
// WENDRIX_WATCH_PRESSES=n presses Update the first n times it is enabled;
// WENDRIX_WATCH_QUIT=1 ends the program once a result shows and no press is
// left, so it can run headless from a script.
// It uses no hidapi call of its own: the program talks to whatever hidapi it
// was linked with.

#include "tests/support/widgets.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kPeriodMs = 50;
constexpr int kHeldMs = 1000; // a tick this late means the event loop was held

class Watch : public QObject
{
public:
    Watch()
    {
        presses = std::atoi(qgetenv("WENDRIX_WATCH_PRESSES").constData());
        quitAtResult = qgetenv("WENDRIX_WATCH_QUIT") == "1";
        clock.start();
        connect(&timer, &QTimer::timeout, this, &Watch::look);
        timer.start(kPeriodMs);
    }

private:
    void say(const char *what, const QString &value = QString())
    {
        std::fprintf(stderr, "watch %lld %s%s%s\n", clock.elapsed(), what, value.isNull() ? "" : " ",
            value.toUtf8().constData());
        std::fflush(stderr);
    }
    static QString quoted(const QString &text) { return QLatin1Char('"') + text + QLatin1Char('"'); }

    void look()
    {
        const qint64 now = clock.elapsed();
        if (lastTick && now - lastTick > kHeldMs)
            say("held", QString::number(now - lastTick - kPeriodMs));
        lastTick = now;

        QWidget *dialog = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("Dialog"))
                dialog = w;
        if (!dialog)
            return;
        const DialogWidgets widgets(*dialog);
        if (!widgets.found())
            return;
        QLabel *status = widgets.status, *complete = widgets.complete, *target = widgets.target;
        QPushButton *button = widgets.button;

        if (status->text() != shownStatus)
            say("status", quoted(shownStatus = status->text()));
        if (target->text() != shownTarget)
            say("target", quoted(shownTarget = target->text()));
        const QString result = complete->isVisibleTo(dialog) ? complete->text() : QString();
        if (result != shownResult) {
            shownResult = result;
            if (result.isEmpty())
                say("result hidden");
            else
                say("result", quoted(result));
            if (!result.isEmpty() && quitAtResult && presses == 0)
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        if (button->isEnabled() != buttonEnabled) {
            buttonEnabled = button->isEnabled();
            say(buttonEnabled ? "button enabled" : "button disabled");
            if (buttonEnabled && presses > 0) {
                say("press", QString::number(++pressed));
                --presses;
                button->click();
            }
        }
    }

    QTimer timer;
    QElapsedTimer clock;
    qint64 lastTick = 0;
    QString shownStatus, shownTarget, shownResult;
    bool buttonEnabled = false;
    int presses = 0;
    bool quitAtResult = false;
    int pressed = 0;
};

// Runs as the application object is created, before main() builds the dialog.
void startWatch()
{
    new Watch; // lives as long as the process
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startWatch)
