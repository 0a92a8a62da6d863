// SPDX-License-Identifier: MIT
// The simulated unit itself, driven through plain hidapi calls the way the
// program drives the real one.

#include "sim/tqr7hid.h"
#include "sim/wire.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/freshunit.h"
#include "tests/support/probe.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <hidapi.h>

using namespace Tqr7Hid;

namespace {

// What one write and one read of a whole report return.
const int kWritten = int(Wire::kOutputSize);
const int kRead = int(Wire::kInputSize);

const QByteArray kLine1 = Hex::record(0, 0x0000, QByteArray(16, '\x11'));
const QByteArray kLine2 = Hex::record(0, 0x0010, QByteArray(16, '\x22'));
const QByteArray kEnd = Hex::endRecord();

QByteArray query()
{
    return bytesOf(Wire::query());
}

// One firmware line as the program sends it: text without its line end.
QByteArray line(int target, int number, int count, const QByteArray &text, int attempt = 1)
{
    return bytesOf(Wire::dataReport(target, number, count, text.toStdString(), attempt));
}

QByteArray patched(QByteArray r, int index, char value)
{
    r[index] = value;
    return r;
}

} // namespace

class TestSim : public FreshUnitTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void openAndEnumerate();
    void happyUpdate();
    void answerTiming();
    void faultAnswers_data();
    void faultAnswers();
    void queryFaults();
    void planText_data();
    void planText();
    void planTextEffects();
    void malformedReports_data();
    void malformedReports();
    void handleMisuse();
    void outputFolder();

private:
    hid_device *openReady(bool handshake = true);
    int write(const QByteArray &report);
    int read(int timeoutMs = 50); // result of the read; the report lands in in

    QTemporaryDir outDir;
    hid_device *dev = nullptr;
    unsigned char in[Wire::kInputSize] = {};
};

void TestSim::initTestCase()
{
    // Read once, on the simulator's first call, which is the first case's init().
    qputenv("TQR7SIM_OUT_DIR", outDir.path().toLocal8Bit());
}

void TestSim::cleanup()
{
    if (dev)
        hid_close(dev);
    dev = nullptr;
}

hid_device *TestSim::openReady(bool handshake)
{
    dev = hid_open(Wire::kVendorId, Wire::kProductId, nullptr);
    if (dev && hid_set_nonblocking(dev, 1) == 0 && handshake && write(query()) == kWritten)
        read();
    return dev;
}

int TestSim::write(const QByteArray &report)
{
    return hid_write(dev, reinterpret_cast<const unsigned char *>(report.constData()), size_t(report.size()));
}

int TestSim::read(int timeoutMs)
{
    std::fill(std::begin(in), std::end(in), 0xEE);
    return hid_read_timeout(dev, in, sizeof in, timeoutMs);
}

void TestSim::openAndEnumerate()
{
    hid_device_info *found = hid_enumerate(Wire::kVendorId, Wire::kProductId);
    QVERIFY(found);
    QCOMPARE(int(found->vendor_id), int(Wire::kVendorId));
    QCOMPARE(int(found->product_id), int(Wire::kProductId));
    hid_free_enumeration(found);
    QVERIFY(!hid_enumerate(Wire::kVendorId, 0x1234));

    QVERIFY(!hid_open(Wire::kVendorId, 0x1234, nullptr));
    QVERIFY(openReady(false));
    QCOMPARE(openHandles(), 1);

    unplug();
    QVERIFY(!hid_enumerate(Wire::kVendorId, Wire::kProductId));
    QVERIFY(!hid_open(Wire::kVendorId, Wire::kProductId, nullptr));
    QCOMPARE(read(0), -1);
    QCOMPARE(write(query()), -1);
    attach();
    hid_device *again = hid_open(Wire::kVendorId, Wire::kProductId, nullptr);
    QVERIFY(again);
    QCOMPARE(read(0), -1); // the old handle stays dead
    hid_close(again);

    QCOMPARE(openAttemptTimes().size(), size_t(4));
    QCOMPARE(violationsSeen(), QString());
}

void TestSim::happyUpdate()
{
    QVERIFY(openReady(false));
    QVERIFY(nonBlocking());
    QCOMPARE(read(0), 0); // nothing before a query
    QCOMPARE(write(query()), kWritten);
    QCOMPARE(hid_read(dev, in, 100), kRead);
    QCOMPARE(int(in[Wire::kAnswerByte]), int(Wire::kUpdateModeAnswer));
    QVERIFY(std::all_of(in + 1, in + kRead, [](unsigned char b) { return b == 0; }));

    const QList<QByteArray> reports = {
        line(1, 1, 3, kLine1),
        line(1, 2, 3, kLine2),
        line(1, 3, 3, kEnd),
        line(2, 1, 2, kLine1),
        line(2, 2, 2, kEnd),
        line(3, 1, 2, kLine1),
        line(3, 2, 2, kEnd),
        line(4, 1, 1, kEnd),
    };
    for (const QByteArray &r : reports) {
        QCOMPARE(write(r), kWritten);
        QCOMPARE(hid_read(dev, in, kRead), kRead);
        QCOMPARE(int(in[Wire::kAnswerByte]), int(Wire::kAcknowledge));
    }
    QCOMPARE(violationsSeen(), QString());
    QCOMPARE(QByteArray::fromStdString(Tqr7Hid::received(1)), kLine1 + '\r' + kLine2 + '\r' + kEnd + '\r');
    QCOMPARE(QByteArray::fromStdString(Tqr7Hid::received(4)), kEnd + '\r');
    QCOMPARE(writtenDataReports().size(), size_t(reports.size()));
    QCOMPARE(writtenReports().size(), size_t(reports.size() + 1));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(writtenDataReports()[1].bytes.data()), kWritten),
        reports[1]);

    // A second update starts afresh.
    QCOMPARE(write(line(1, 1, 3, kLine1)), kWritten);
    QCOMPARE(QByteArray::fromStdString(Tqr7Hid::received(1)), kLine1 + '\r');
    QVERIFY(Tqr7Hid::received(2).empty());
    QCOMPARE(violationsSeen(), QString());
}

void TestSim::answerTiming()
{
    setAnswerDelayMs(60);
    injectInputReport({0x7F, 0x05}, 100);
    QVERIFY(openReady(false));
    // Timed from the write, which starts the delay: on a busy machine the
    // reads in between may take much of it.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(write(query()), kWritten);
    QCOMPARE(hid_read(dev, in, kRead), 0);
    QCOMPARE(read(10), 0);
    QCOMPARE(read(1000), kRead);
    QVERIFY2(clock.elapsed() >= 55 && clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(int(in[Wire::kAnswerByte]),
        int(Wire::kUpdateModeAnswer)); // the answer before the later injected report
    QCOMPARE(hid_read_timeout(dev, in, 10, 1000), 10);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(in), 3), QByteArray("\x7F\x05\x00", 3));
    QCOMPARE(readTimes().size(), size_t(4));
}

void TestSim::faultAnswers_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("writeResult");
    QTest::addColumn<int>("readResult");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("stillAttached");

    QTest::newRow("ack") << int(Answer::Acknowledge) << kWritten << kRead << int(Wire::kAcknowledge) << true;
    QTest::newRow("timeout") << int(Answer::BoardTimeout) << kWritten << kRead << int(Wire::kBoardTimeout)
                             << true;
    QTest::newRow("silence") << int(Answer::Silence) << kWritten << 0 << 0 << true;
    QTest::newRow("unplug") << int(Answer::Unplug) << kWritten << -1 << 0 << false;
    QTest::newRow("writefail") << int(Answer::WriteFails) << -1 << 0 << 0 << true;
    QTest::newRow("stall") << int(Answer::Stall) << kWritten << 0 << 0 << true;
}

void TestSim::faultAnswers()
{
    QFETCH(int, answer);
    QFETCH(int, writeResult);
    QFETCH(int, readResult);
    QFETCH(int, code);
    QFETCH(bool, stillAttached);

    planAnswer(1, 1, 1, Answer(answer));
    QVERIFY(openReady());
    QCOMPARE(write(line(1, 1, 2, kLine1)), writeResult);
    QCOMPARE(read(), readResult);
    if (readResult > 0)
        QCOMPARE(int(in[Wire::kAnswerByte]), code);
    QCOMPARE(attached(), stillAttached);
    hid_device *other = hid_open(Wire::kVendorId, Wire::kProductId, nullptr);
    QCOMPARE(other != nullptr, stillAttached);
    hid_close(other);
    QCOMPARE(Tqr7Hid::received(1).empty(), answer != int(Answer::Acknowledge));

    // A unit that stopped reading, as behind the real USB stack: its queue
    // takes four more reports, then a write waits 5 s and fails.
    if (answer == int(Answer::Stall)) {
        for (int i = 0; i < 4; ++i)
            QCOMPARE(write(line(1, 1, 2, kLine1)), kWritten);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(write(line(1, 1, 2, kLine1)), -1);
        QVERIFY(clock.elapsed() >= 5000);
        QCOMPARE(read(), 0);
        return;
    }

    // The program gives up as it should: drops the handle, finds the unit
    // again and starts a new update. None of that is a violation.
    if (answer != int(Answer::Acknowledge) && answer != int(Answer::BoardTimeout)) {
        hid_close(dev);
        attach();
        planAnswer(1, 1, 1, Answer::Acknowledge);
        QVERIFY(openReady());
        QCOMPARE(write(line(1, 1, 2, kLine1)), kWritten);
        QCOMPARE(read(), kRead);
        QCOMPARE(int(in[Wire::kAnswerByte]), int(Wire::kAcknowledge));
    }
    QCOMPARE(violationsSeen(), QString());
}

void TestSim::queryFaults()
{
    failQueryWrites(2);
    QVERIFY(openReady(false));
    QCOMPARE(write(query()), -1);
    QCOMPARE(write(query()), -1);
    QCOMPARE(write(query()), kWritten);
    QCOMPARE(read(), kRead);

    setUpdateMode(false);
    QCOMPARE(write(query()), kWritten);
    QCOMPARE(read(), 0);
    QCOMPARE(write(line(1, 1, 2, kLine1)), kWritten);
    QCOMPARE(read(), 0);
    QVERIFY(violationsSeen().contains("target 1 line 1: data report while the unit is not in update mode"));
}

void TestSim::planText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("empty") << "" << true;
    QTest::newRow("one") << "2:15:*=timeout" << true;
    QTest::newRow("two") << "2:15:*=timeout,4:*:*=silence" << true;
    QTest::newRow("delay and spaces") << " *:*:1 = ack@20 , 1:2:3=unplug" << true;
    QTest::newRow("writefail") << "1:1:1=writefail" << true;
    QTest::newRow("query") << "query=writefail" << true;
    QTest::newRow("query count") << "query=writefail*3" << true;
    QTest::newRow("two fields") << "2:15=timeout" << false;
    QTest::newRow("four fields") << "1:2:3:4=ack" << false;
    QTest::newRow("target 5") << "5:1:1=ack" << false;
    QTest::newRow("line 0") << "1:0:1=ack" << false;
    QTest::newRow("attempt 4") << "1:1:4=ack" << false;
    QTest::newRow("unknown answer") << "1:1:1=reboot" << false;
    QTest::newRow("no answer") << "1:1:1" << false;
    QTest::newRow("empty delay") << "1:1:1=ack@" << false;
    QTest::newRow("negative delay") << "1:1:1=ack@-5" << false;
    QTest::newRow("empty item") << "1:1:1=ack,,2:1:1=ack" << false;
    QTest::newRow("query silence") << "query=silence" << false;
    QTest::newRow("query zero") << "query=writefail*0" << false;
}

void TestSim::planText()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(planFromText(text.toStdString()), valid);
}

void TestSim::planTextEffects()
{
    QVERIFY(!planFromText("1:1:1=silence,junk")); // changes nothing
    QVERIFY(planFromText("1:*:*=timeout, 1:1:3=ack, 1:2:*=ack@40, query=writefail"));
    QVERIFY(openReady(false));
    QCOMPARE(write(query()), -1);
    QCOMPARE(write(query()), kWritten);
    QCOMPARE(read(), kRead);

    for (int attempt = 1; attempt <= 3; ++attempt) {
        QCOMPARE(write(line(1, 1, 2, kLine1, attempt)), kWritten);
        QCOMPARE(read(), kRead);
        QCOMPARE(int(in[Wire::kAnswerByte]),
            attempt < Wire::kMaxAttempts ? Wire::kBoardTimeout : Wire::kAcknowledge); // the later plan wins
    }
    QCOMPARE(write(line(1, 2, 2, kEnd)), kWritten);
    QCOMPARE(read(0), 0);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(read(1000), kRead);
    QCOMPARE(int(in[Wire::kAnswerByte]), int(Wire::kAcknowledge));
    QVERIFY(clock.elapsed() >= 20);
    QCOMPARE(violationsSeen(), QString());
}

void TestSim::malformedReports_data()
{
    QTest::addColumn<QString>("plan");
    QTest::addColumn<bool>("handshake");
    QTest::addColumn<bool>("readBetween");
    QTest::addColumn<QList<QByteArray>>("reports");
    QTest::addColumn<QString>("expected"); // empty: no violation at all

    const QByteArray l1 = line(1, 1, 3, kLine1);
    const QByteArray l2 = line(1, 2, 3, kLine2);
    const QByteArray l3 = line(1, 3, 3, kEnd);
    QByteArray badSum = kLine1;
    badSum[badSum.size() - 1] = badSum.endsWith('0') ? '1' : '0';
    QByteArray badDigit = kLine1;
    badDigit[5] = 'G';
    QByteArray lf = kLine1;
    lf[3] = '\n';

    auto row = [](const char *name, const QString &plan, const QList<QByteArray> &reports,
                   const QString &expected, bool handshake = true, bool readBetween = true) {
        QTest::newRow(name) << plan << handshake << readBetween << reports << expected;
    };
    row("clean with retransmission", "1:2:1=timeout", {l1, l2, line(1, 2, 3, kLine2, 2), l3}, "");
    row("new update after silence", "1:1:1=silence", {l1, l1}, "");
    row("wrong length", "", {l1.left(kWritten - 1)}, "write of 64 bytes");
    row("report id", "", {patched(l1, 0, 1)}, "report id 0x01");
    row("query with data", "", {patched(query(), 9, 3)}, "UpdateModeQuery: byte 9 is 0x03");
    row("bad checksum", "", {line(1, 1, 3, badSum)}, "target 1 line 1: Intel HEX checksum");
    row("not hex", "", {line(1, 1, 3, badDigit)}, "target 1 line 1: not an Intel HEX record");
    row("byte count", "", {line(1, 1, 3, kLine1.left(kLine1.size() - 2))}, "byte count 16 does not match");
    row("no CR", "", {patched(l1, 9 + kLine1.size(), '0')}, "target 1 line 1: line text does not end in CR");
    row("LF inside", "", {line(1, 1, 3, lf)}, "target 1 line 1: line text holds a CR or LF");
    row("bad padding", "", {patched(l1, 60, 1)}, "target 1 line 1: padding byte 60");
    row("length 0", "", {patched(l1, 6, 0)}, "target 1 line 1: line length 0");
    row("code byte", "", {patched(l1, 8, 0)}, "target 1 line 1: byte 8 is 0x00");
    row("target 5", "", {patched(l1, 1, 5)}, "target 5 line 1: target 5, must be 1 to 4");
    row("attempt 4", "1:1:*=timeout", {l1, patched(l1, 7, 2), patched(l1, 7, 3), patched(l1, 7, 4)},
        "target 1 line 1: attempt 4");
    row("first not line 1", "", {l2}, "target 1 line 2: an update must start with target 1 line 1");
    row("skipped line", "", {l1, l3}, "target 1 line 3: line order: expected line 2");
    row("target order", "", {line(1, 1, 1, kEnd), line(3, 1, 1, kEnd)},
        "target 3 line 1: target order: target 2 must follow target 1");
    row("target before end record", "", {l1, line(2, 1, 3, kLine1)},
        "target 2 line 1: target order: target 2 began before target 1's end record");
    row("line count changed", "", {l1, line(1, 2, 4, kLine2)}, "file line count changed from 3 to 4");
    row("line above count", "", {line(1, 1, 2, kLine1), line(1, 2, 2, kLine2), line(1, 3, 2, kEnd)},
        "target 1 line 3: line number above the file line count 2");
    row("early end record", "", {l1, line(1, 2, 3, kEnd)},
        "target 1 line 2: end record's line number must equal the file line count 3");
    row("new line attempt 2", "", {l1, line(1, 2, 3, kLine2, 2)}, "a new line starts with attempt 1, not 2");
    row("retransmission changed", "1:1:1=timeout", {l1, line(1, 1, 3, kLine2, 2)},
        "target 1 line 1: retransmission differs from the transmission before in byte");
    row("retransmission attempt", "1:1:1=timeout", {l1, patched(l1, 7, 3)},
        "retransmission must carry attempt 2, not 3");
    row("no retransmission", "1:1:1=timeout", {l1, l2},
        "target 1 line 2: expected the retransmission of target 1 line 1");
    row("after three timeouts", "1:1:*=timeout", {l1, patched(l1, 7, 2), patched(l1, 7, 3), l2},
        "target 1 line 2: target 1 line 1 failed its third attempt");
    row("two in flight", "", {l1, l2}, "target 1 line 2: two reports in flight", true, false);
    row("after silence", "1:1:1=silence", {l1, l2},
        "target 1 line 2: written after target 1 line 1 went unanswered");
    row("before query answered", "", {l1}, "target 1 line 1: data report before the unit's answer", false);
    row("after target 4", "",
        {line(1, 1, 1, kEnd), line(2, 1, 1, kEnd), line(3, 1, 1, kEnd), line(4, 1, 1, kEnd),
            line(4, 2, 2, kEnd)},
        "target 4 line 2: nothing may follow target 4's end record");
}

void TestSim::malformedReports()
{
    QFETCH(QString, plan);
    QFETCH(bool, handshake);
    QFETCH(bool, readBetween);
    QFETCH(QList<QByteArray>, reports);
    QFETCH(QString, expected);

    QVERIFY(planFromText(plan.toStdString()));
    QVERIFY(openReady(handshake));
    for (int i = 0; i < reports.size(); ++i) {
        if (i > 0 && readBetween)
            read(20);
        write(reports[i]);
    }
    const QString seen = violationsSeen();
    if (expected.isEmpty())
        QCOMPARE(seen, QString());
    else
        QVERIFY2(seen.contains(expected), qPrintable("violations seen:\n" + seen));
}

void TestSim::handleMisuse()
{
    dev = hid_open(Wire::kVendorId, Wire::kProductId, nullptr);
    QVERIFY(dev);
    QCOMPARE(hid_read(dev, in, kRead), 0); // blocking handle, nothing to come
    QCOMPARE(hid_read(dev, in, kRead), 0);
    QCOMPARE(int(Tqr7Hid::violations().size()), 1);
    QVERIFY(violationsSeen().contains("not set non-blocking"));

    reset();
    dev = hid_open(Wire::kVendorId, Wire::kProductId, nullptr);
    setAnswerDelayMs(30);
    QCOMPARE(write(query()), kWritten);
    QCOMPARE(hid_read_timeout(dev, in, kRead, -1), kRead); // waits for the queued answer
    QCOMPARE(hid_read_timeout(dev, in, kRead, -1), 0);     // would wait forever
    QVERIFY(violationsSeen().contains("it would hang"));

    hid_device *stale = dev;
    reset();
    QCOMPARE(openHandles(), 0);
    const unsigned char out[Wire::kOutputSize] = {};
    QCOMPARE(hid_write(stale, out, kWritten), -1);
    QCOMPARE(hid_read_timeout(stale, in, kRead, 0), -1);
    hid_close(stale);
    hid_close(stale);
    dev = nullptr;
    QVERIFY(violationsSeen().contains("hid_close called twice"));
}

void TestSim::outputFolder()
{
    planAnswer(1, 2, 1, Answer::BoardTimeout);
    QVERIFY(openReady());
    for (const QByteArray &r : {line(1, 1, 2, kLine1), line(1, 2, 2, kEnd), line(1, 2, 2, kEnd, 2)}) {
        write(r);
        read();
    }
    write(line(2, 1, 1, kEnd).left(kWritten - 1));
    auto contents = [this](const char *name) {
        QFile file(outDir.filePath(QLatin1String(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing");
    };
    QCOMPARE(contents("target1.hex"), kLine1 + '\n' + kEnd + '\n');
    QCOMPARE(contents("target2.hex"), QByteArray());
    QCOMPARE(contents("reports.log").count('\n'), 5);
    QVERIFY(contents("reports.log").contains(" 00 01 00 02 00 02 0C 02 03 3A"));
    QCOMPARE(contents("violations.txt").count('\n'), 1);
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
