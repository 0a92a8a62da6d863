// SPDX-License-Identifier: MIT
#ifndef DIAGNOSTICLOG_H
#define DIAGNOSTICLOG_H

#include <QString>

// While it lives, every diagnostic line goes where it always went and is also
// written to a file of this run's own in the logs folder, under a line naming
// the run: an operator with no console still has the lines to send us. The
// log takes the program's own lines whatever the logging rules say (standard
// error still follows them). A run's file is made new, never an existing name
// nor through a link, written a line at a time and never rewritten; it stops
// at about 1 MiB. At start the oldest runs' files go, whole, while the folder
// holds more than about 1 MiB or 20 runs, but never one that a running
// instance still writes.
class DiagnosticLog
{
public:
    // Made before the application object, so that a start that fails there
    // (no display, no platform plugin) leaves Qt's reason in the log. folder:
    // the logs folder in the user's data folder, the same whatever the
    // executable is called. runName: the file's name without ".log"; by
    // default the time it starts (UTC), then the process id, so that name
    // order is time order.
    explicit DiagnosticLog(
        const QString &folder = QStringLiteral("wendrix"), const QString &runName = QString());
    ~DiagnosticLog();
    DiagnosticLog(const DiagnosticLog &) = delete;
    DiagnosticLog &operator=(const DiagnosticLog &) = delete;

    static QString folderPath(const QString &folder = QStringLiteral("wendrix"));
};

#endif // DIAGNOSTICLOG_H
