#include "tests/support/dialogrun.h"

#include "tests/support/texts.h"

#include <QTest>

namespace {
template<typename T> T *child(QObject &dialog, const char *name)
{
    return dialog.findChild<T *>(QString::fromLatin1(name));
}
} // namespace

DialogRun::DialogRun()
    : button(child<QPushButton>(dialog, "buttonUpdate"))
    , version(child<QLabel>(dialog, "labelVersion"))
    , status(child<QLabel>(dialog, "labelStatus"))
    , target(child<QLabel>(dialog, "labelTarget"))
    , complete(child<QLabel>(dialog, "labelComplete"))
    , sub(child<QProgressBar>(dialog, "progressSub"))
    , overall(child<QProgressBar>(dialog, "progressOverall"))
{
    dialog.show();
}

bool DialogRun::found() const
{
    return button && version && status && target && complete && sub && overall;
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
