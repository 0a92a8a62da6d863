// SPDX-License-Identifier: MIT
#ifndef DEBUGCAPTURE_H
#define DEBUGCAPTURE_H

#include <QStringList>

// Collects the program's diagnostic lines while it lives.
class DebugCapture
{
public:
    DebugCapture();
    ~DebugCapture();

    QStringList lines() const;
    void clear();
    // The lines that start with one of these labels, in order.
    QStringList linesStartingWith(const QStringList &labels) const;
    // The others: e.g. all but the line a bus writes when it answers, at no
    // set moment.
    QStringList linesExcept(const QStringList &labels) const;
};

#endif // DEBUGCAPTURE_H
