// SPDX-License-Identifier: MIT
#include "tests/support/debugcapture.h"

#include <QMutex>
#include <QtGlobal>

namespace {
QMutex mutex;
QStringList captured;
QtMessageHandler previous = nullptr;

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        QMutexLocker lock(&mutex);
        captured << message;
    } else if (previous) {
        previous(type, context, message);
    }
}
} // namespace

DebugCapture::DebugCapture()
{
    clear();
    previous = qInstallMessageHandler(handler);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previous);
}

QStringList DebugCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return captured;
}

void DebugCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}

namespace {
bool startsWithOneOf(const QString &line, const QStringList &labels)
{
    for (const QString &label : labels)
        if (line.startsWith(label))
            return true;
    return false;
}
} // namespace

QStringList DebugCapture::linesStartingWith(const QStringList &labels) const
{
    QStringList result;
    for (const QString &line : lines())
        if (startsWithOneOf(line, labels))
            result << line;
    return result;
}

QStringList DebugCapture::linesExcept(const QStringList &labels) const
{
    QStringList result;
    for (const QString &line : lines())
        if (!startsWithOneOf(line, labels))
            result << line;
    return result;
}
