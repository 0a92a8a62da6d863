// SPDX-License-Identifier: MIT
#ifndef DIALOGRUN_H
#define DIALOGRUN_H

// The real dialog as a test drives it: built over the firmware folder it is
// given and the simulated unit as the test left it, shown, its diagnostic
// lines captured from its first, and its widgets found by name.

#include "app/dialog.h"
#include "tests/support/debugcapture.h"
#include "tests/support/widgets.h"

#include <QString>

constexpr int kDeadline = 20000; // for anything the dialog does on its own, on a busy machine

// The capture first: the dialog writes from its constructor on.
struct CapturedDialog
{
    explicit CapturedDialog(const QString &firmwareFolder) : dialog(firmwareFolder) { }

    DebugCapture log;
    Dialog dialog;
};

class DialogRun : public CapturedDialog, public DialogWidgets
{
public:
    explicit DialogRun(const QString &firmwareFolder);

    bool ready() const { return button->isEnabled(); }
    bool showing(const QString &result) const { return complete->isVisible() && complete->text() == result; }
    bool idleDisplay() const; // no target, both bars at 0

    // Waits until Update is offered, then presses it.
    bool pressUpdate(int timeoutMs = kDeadline);
    // Waits until the result shows; says what shows instead when it never does.
    bool ends(const QString &result, int timeoutMs = kDeadline);
    // An update from the press of its button to its result.
    bool update(const QString &result) { return pressUpdate() && ends(result); }
    // Lets the dialog run ms longer by the simulator's clock, until it calls
    // into the unit (a read, or a look for it) that late: every timer of its
    // own that fell due meanwhile has then had its turn. For what must not
    // happen; a busy machine makes the wait longer, never the time shorter.
    bool runFor(double ms);
};

#endif // DIALOGRUN_H
