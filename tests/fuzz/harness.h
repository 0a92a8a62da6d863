// SPDX-License-Identifier: MIT
#ifndef HARNESS_H
#define HARNESS_H

// What both fuzz harnesses share: one offscreen application for the whole
// process, the dialog's diagnostics kept quiet, failures as abort() so that
// libFuzzer keeps the input, and a firmware folder of the process's own.

#include "app/dialog.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/texts.h"
#include "tests/support/widgets.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace Harness {

inline const char *&name()
{
    static const char *value = "fuzz";
    return value;
}

// Reproducing a finding: FUZZ_TRACE=1 shows the dialog's diagnostic lines and
// each harness's own trace.
inline bool tracing()
{
    static const bool value = qEnvironmentVariableIsSet("FUZZ_TRACE");
    return value;
}

inline void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (tracing() || (type != QtDebugMsg && type != QtInfoMsg))
        std::fprintf(stderr, "qt: %s\n", qPrintable(message));
}

inline FirmwareFolder *&folder()
{
    static FirmwareFolder *value = nullptr;
    return value;
}

[[noreturn]] inline void fail(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "%s: %s %s\n", name(), what, qPrintable(detail));
    std::abort();
}

inline void check(bool ok, const char *what, const QString &detail = QString())
{
    if (!ok)
        fail(what, detail);
}

inline FirmwareFolder &start(const char *harness)
{
    static int argc = 1;
    static char *argv[] = {const_cast<char *>(harness), nullptr};
    name() = harness;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quiet);
    new QApplication(argc, argv);
    folder() = new FirmwareFolder;
    std::atexit([] { delete folder(); }); // its temporary directory
    delete new Dialog(folder()->path());  // Qt sets up its fonts and style once, outside any input
    return *folder();
}

} // namespace Harness

#endif // HARNESS_H
