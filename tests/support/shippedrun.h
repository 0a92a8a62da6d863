// SPDX-License-Identifier: MIT
#ifndef SHIPPEDRUN_H
#define SHIPPEDRUN_H

#include <QByteArray>
#include <QString>

// The shipped executable run as an operator runs it, on a display of its own
// (xvfb-run), its window closed with Escape (xdotool) once it shows.
struct ShippedRun
{
    static bool possible(); // xvfb-run and xdotool are at hand

    // One run, with the user's data folder set to dataHome.
    ShippedRun(const QString &executable, const QString &dataHome);

    bool finished = false; // within a minute, without a crash
    int exitCode = -1;
    QByteArray standardError; // the program's alone
};

#endif // SHIPPEDRUN_H
