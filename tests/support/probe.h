#ifndef PROBE_H
#define PROBE_H

// What a test observes: the dialog's widgets, found by object name, and the
// reports the simulated unit took in.

#include "sim/tqr7sim.h"
#include "sim/wire.h"

#include <QByteArray>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QStringList>
#include <QVector>

struct Widgets {
    explicit Widgets(QWidget &dialog)
        : button(dialog.findChild<QPushButton *>(QStringLiteral("buttonUpdate"))),
          status(dialog.findChild<QLabel *>(QStringLiteral("labelStatus"))),
          target(dialog.findChild<QLabel *>(QStringLiteral("labelTarget"))),
          complete(dialog.findChild<QLabel *>(QStringLiteral("labelComplete"))),
          sub(dialog.findChild<QProgressBar *>(QStringLiteral("progressSub"))),
          overall(dialog.findChild<QProgressBar *>(QStringLiteral("progressOverall")))
    {
    }
    bool found() const { return button && status && target && complete && sub && overall; }
    bool ready() const { return button->isEnabled(); }
    bool showing(const QString &result) const
    {
        return complete->isVisible() && complete->text() == result;
    }
    bool idleDisplay() const
    {
        return sub->value() == 0 && overall->value() == 0 && target->text() == QLatin1String("---");
    }

    QPushButton *button;
    QLabel *status, *target, *complete;
    QProgressBar *sub, *overall;
};

// Waits until Update is offered, then presses it.
inline bool pressUpdateWhenReady(Widgets &w, int timeoutMs = 20000)
{
    if (!QTest::qWaitFor([&] { return w.ready(); }, timeoutMs))
        return false;
    QTest::mouseClick(w.button, Qt::LeftButton);
    return true;
}

// One data report as the unit received it.
struct Sent {
    double timeMs;
    QByteArray bytes;

    int byte(int i) const { return quint8(bytes.at(i)); }
    Wire::DataFields fields() const
    {
        return Wire::fields(reinterpret_cast<const quint8 *>(bytes.constData()));
    }
    int target() const { return fields().target; }
    int line() const { return fields().line; }
    int count() const { return fields().count; }
    int length() const { return fields().length; }
    int attempt() const { return fields().attempt; }
    QByteArray text() const { return bytes.mid(Wire::kTextByte, length()); }
};

inline QVector<Sent> dataReports()
{
    QVector<Sent> result;
    for (const Tqr7Sim::Written &w : Tqr7Sim::writtenDataReports())
        result.append({w.timeMs, QByteArray(reinterpret_cast<const char *>(w.bytes.data()),
                                            int(w.bytes.size()))});
    return result;
}

inline QVector<Sent> reportsFor(int target, const QVector<Sent> &all = dataReports())
{
    QVector<Sent> result;
    for (const Sent &s : all)
        if (s.target() == target)
            result.append(s);
    return result;
}

inline QByteArray received(int target)
{
    return QByteArray::fromStdString(Tqr7Sim::received(target));
}

inline QString violations()
{
    QStringList list;
    for (const std::string &v : Tqr7Sim::violations())
        list << QString::fromStdString(v);
    return list.join(QLatin1Char('\n'));
}

#endif // PROBE_H
