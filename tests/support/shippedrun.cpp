// SPDX-License-Identifier: MIT
#include "tests/support/shippedrun.h"

#include "tests/support/texts.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {
QString find(const char *program)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(program));
}
} // namespace

bool ShippedRun::possible()
{
    return !find("xvfb-run").isEmpty() && !find("xdotool").isEmpty();
}

ShippedRun::ShippedRun(const QString &executable, const QString &dataHome)
{
    QTemporaryDir scratch; // for its standard error, apart from Xvfb's and xdotool's
    const QString errors = scratch.filePath(QStringLiteral("stderr"));
    const QString script
        = QStringLiteral("XDG_DATA_HOME=\"$2\" \"$1\" 2>\"$3\" & pid=$!;"
                         "wid=$(xdotool search --sync --onlyvisible --name \"$4\" | head -n 1);"
                         "xdotool windowfocus --sync \"$wid\"; xdotool key Escape;"
                         "wait $pid");
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    // The window draws nothing with GL. Left to itself, the xcb plugin loads
    // Mesa's software driver for GLX and unloads it at exit, and the leak
    // check of the sanitizer build then fails on an allocation it leaves.
    env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
    process.setProcessEnvironment(env);
    process.start(find("xvfb-run"),
        {QStringLiteral("-a"), QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh"),
            executable, dataHome, errors, Texts::kTitle});
    finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    exitCode = process.exitCode();
    QFile file(errors);
    if (file.open(QIODevice::ReadOnly))
        standardError = file.readAll();
}
