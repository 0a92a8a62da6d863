// SPDX-License-Identifier: MIT
#ifndef PROBE_H
#define PROBE_H

// What a test observes of the simulated unit: the reports it took in, what
// it made of them, and the protocol violations it saw.

#include "sim/tqr7hid.h"
#include "sim/wire.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>
#include <QTest>
#include <QVector>

// One data report as the unit received it.
struct Sent
{
    double timeMs;
    QByteArray bytes;

    int byte(int i) const { return quint8(bytes.at(i)); }
    Wire::DataFields fields() const
    {
        return Wire::fields(reinterpret_cast<const quint8 *>(bytes.constData()));
    }
    int target() const { return fields().target; }
    int line() const { return fields().line; }
    int count() const { return fields().count; }
    int length() const { return fields().length; }
    int attempt() const { return fields().attempt; }
    QByteArray text() const { return bytes.mid(Wire::kTextByte, length()); }
};

// A report's bytes, as the tests compare them.
inline QByteArray bytesOf(const std::vector<std::uint8_t> &report)
{
    return QByteArray(reinterpret_cast<const char *>(report.data()), int(report.size()));
}

inline QVector<Sent> dataReports()
{
    QVector<Sent> result;
    for (const Tqr7Hid::Written &w : Tqr7Hid::writtenDataReports())
        result.append({w.timeMs, bytesOf(w.bytes)});
    return result;
}

inline QVector<Sent> reportsFor(int target, const QVector<Sent> &all = dataReports())
{
    QVector<Sent> result;
    for (const Sent &s : all)
        if (s.target() == target)
            result.append(s);
    return result;
}

inline QByteArray received(int target)
{
    return QByteArray::fromStdString(Tqr7Hid::received(target));
}

// A firmware file as the unit should take it in, to compare with received():
// its lines up to its end record, each ending in CR.
inline QByteArray asReceived(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QByteArray text;
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        text += line + '\r';
        if (Wire::isEndRecord(line.toStdString()))
            break;
    }
    return text;
}

// The violations the unit saw, one a line (named apart from Tqr7Hid's own,
// which tests that use its namespace call too).
inline QString violationsSeen()
{
    QStringList list;
    for (const std::string &v : Tqr7Hid::violations())
        list << QString::fromStdString(v);
    return list.join(QLatin1Char('\n'));
}

// The unit saw the protocol kept; a failure lists every violation it saw.
#define VERIFY_NO_VIOLATIONS() QVERIFY2(Tqr7Hid::violations().empty(), qPrintable(violationsSeen()))

#endif // PROBE_H
