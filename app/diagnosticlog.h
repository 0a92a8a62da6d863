#ifndef DIAGNOSTICLOG_H
#define DIAGNOSTICLOG_H

#include <QString>

// While it lives, every diagnostic line goes where it always went and is also
// appended to wendrix.log in the user's application data folder, after a line
// naming the run: an operator with no console still has the lines to send us.
class DiagnosticLog
{
public:
    // Needs the application object: the folder is named after the program.
    DiagnosticLog();
    ~DiagnosticLog();
    DiagnosticLog(const DiagnosticLog &) = delete;
    DiagnosticLog &operator=(const DiagnosticLog &) = delete;

    static QString filePath();

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
