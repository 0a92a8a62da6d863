// SPDX-License-Identifier: MIT
#ifndef INHIBITOR_H
#define INHIBITOR_H

#include <QObject>
#include <QString>

class QSocketNotifier;
class QWidget;
class BusHold;

// What the computer around an update is asked for as long as it runs: not to
// sleep, shut down or end the session, which would leave the unit with part
// of an image. On Linux a logind inhibitor lock and the desktop's portal
// inhibition, taken on a thread of their own so that a bus that never answers
// holds neither the window nor the first report; on Windows the system kept
// awake and a reason for its shutdown screen. Held from the press of Update
// to the update's ending; nothing is asked of any bus before the first press.
class Inhibitor : public QObject
{
    Q_OBJECT

public:
    explicit Inhibitor(QObject *parent = nullptr);
    ~Inhibitor() override;
    Inhibitor(const Inhibitor &) = delete;
    Inhibitor &operator=(const Inhibitor &) = delete;

    // The reason the operator reads where the system says what holds it up.
    static QString reason();

    void hold(QWidget *window);
    void release();
    bool isHeld() const { return held; }

signals:
    // The system ends the program while held (SIGTERM at a forced shutdown):
    // the program ends as it would have, once this has been handled.
    void terminating();
    // One line's worth: what could not be asked, and why.
    void failed(const QString &why);

private:
    void takeTermination();

    bool held = false;
#ifdef Q_OS_WIN
    QWidget *heldWindow = nullptr;
#else
    BusHold *busHold = nullptr; // of the update that runs
    QSocketNotifier *termination = nullptr;
#endif
};

#endif // INHIBITOR_H
