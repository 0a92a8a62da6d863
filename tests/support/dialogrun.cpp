// SPDX-License-Identifier: MIT
#include "tests/support/dialogrun.h"

#include "sim/tqr7hid.h"
#include "tests/support/texts.h"

#include <QTest>

#include <algorithm>

namespace {
// The moment of the dialog's latest call into the unit, by the simulator's clock.
double lastCallMs()
{
    const std::vector<double> reads = Tqr7Hid::readTimes();
    const std::vector<double> opens = Tqr7Hid::openAttemptTimes();
    return std::max(reads.empty() ? -1.0 : reads.back(), opens.empty() ? -1.0 : opens.back());
}
} // namespace

DialogRun::DialogRun(const QString &firmwareFolder) : CapturedDialog(firmwareFolder), DialogWidgets(dialog)
{
    dialog.show();
}

bool DialogRun::idleDisplay() const
{
    return sub->value() == 0 && overall->value() == 0 && target->text() == Texts::kNoTarget;
}

bool DialogRun::pressUpdate(int timeoutMs)
{
    if (!QTest::qWaitFor([&] { return ready(); }, timeoutMs)) {
        qWarning("Update was never offered; the status reads \"%s\"", qPrintable(status->text()));
        return false;
    }
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
}

bool DialogRun::ends(const QString &result, int timeoutMs)
{
    if (QTest::qWaitFor([&] { return showing(result); }, timeoutMs))
        return true;
    qWarning("the result never read \"%s\"; it reads \"%s\"%s", qPrintable(result),
        qPrintable(complete->text()), complete->isVisible() ? "" : ", hidden");
    return false;
}

bool DialogRun::runFor(double ms)
{
    const double until = Tqr7Hid::nowMs() + ms;
    return QTest::qWaitFor([&] { return lastCallMs() >= until; }, int(ms) + kDeadline);
}
