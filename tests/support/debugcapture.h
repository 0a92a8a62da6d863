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
};

#endif // DEBUGCAPTURE_H
