// The demo variant's diagnostic lines on standard output. A Windows GUI
// program sends qDebug to the debugger, which nobody reads under Wine, and
// scripts/windows --demo follows the lines to know when the update began.

#include <QString>
#include <QtGlobal>

#include <cstdio>

namespace {

void toStdout(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::fputs(qPrintable(message + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// Installed before main runs, so the first line is caught too.
const QtMessageHandler previous = qInstallMessageHandler(toStdout);

} // namespace
