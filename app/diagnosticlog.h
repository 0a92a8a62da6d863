// SPDX-License-Identifier: MIT
#ifndef DIAGNOSTICLOG_H
#define DIAGNOSTICLOG_H

#include <QString>

// While it lives, every diagnostic line goes where it always went and is also
// appended to wendrix.log in the user's data folder, under a line naming the
// run: an operator with no console still has the lines to send us. The log
// takes the program's own lines whatever the logging rules say (standard
// error still follows them), is shared safely by instances running at once,
// stays about 1 MiB, and is never written through a link.
class DiagnosticLog
{
public:
    // Made before the application object, so that a start that fails there
    // (no display, no platform plugin) leaves Qt's reason in the log. folder:
    // the log's folder in the user's data folder, the same whatever the
    // executable is called.
    explicit DiagnosticLog(const QString &folder = QStringLiteral("wendrix"));
    ~DiagnosticLog();
    DiagnosticLog(const DiagnosticLog &) = delete;
    DiagnosticLog &operator=(const DiagnosticLog &) = delete;

    static QString filePath(const QString &folder = QStringLiteral("wendrix"));

    // On Windows, a program started from a command prompt prints its lines
    // there. Call before the first diagnostic line; elsewhere it does nothing.
    static void attachParentConsole();
    // Ctrl+C, Ctrl+Break or closing that console end every process attached
    // to it, so an update runs detached: the streams keep the handles they
    // hold, and the program attaches again when the update has ended.
    static void detachConsole();
    static void reattachConsole();
};

#endif // DIAGNOSTICLOG_H
