// SPDX-License-Identifier: MIT
#ifndef FRESHUNIT_H
#define FRESHUNIT_H

#include "sim/tqr7hid.h"

#include <QObject>

// A test whose cases each start from the simulated unit as it is at first:
// plugged in, in its update mode, nothing planned and nothing recorded.
class FreshUnitTest : public QObject
{
    Q_OBJECT

protected slots:
    void init() { Tqr7Hid::reset(); }
};

#endif // FRESHUNIT_H
