// SPDX-License-Identifier: MIT
// Whatever the files or the unit do, the update ends in a clear outcome and
// the link and the button recover: a matrix of bad firmware sets and a matrix
// of unit faults at each phase of the link and of an update.

#include "sim/tqr7hid.h"
#include "sim/wire.h"
#include "tests/support/dialogrun.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/freshunit.h"
#include "tests/support/probe.h"
#include "tests/support/texts.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <functional>

using Tqr7Hid::Answer;
using namespace Texts;

namespace {

// Changes the firmware folder before the dialog is built (before) or between
// start-up and the press of Update (after). Returns the file that should be
// refused, or an empty string when the set should be sent; the refusal names
// the reason after the file.
struct BadInput
{
    std::function<QString(FirmwareFolder &)> before;
    std::function<void(FirmwareFolder &)> after;
    QString reason;
};

} // namespace

Q_DECLARE_METATYPE(BadInput)

namespace {

// The set every case starts from.
void writeSet(FirmwareFolder &fw, const QString &mainName = FirmwareFolder::kMainName)
{
    fw.writeSet(3, 4, 3, mainName);
}

using Change = std::function<void(FirmwareFolder &)>;

// A row whose update is refused, naming the file before() returns and the reason.
void addRefused(const char *tag, const QString &reason,
    const std::function<QString(FirmwareFolder &)> &before, const Change &after = {})
{
    QTest::newRow(tag) << BadInput {before, after, reason};
}

// A row whose set is sent whole.
void addSent(const char *tag, const Change &before)
{
    const auto nothingRefused = [before](FirmwareFolder &fw) {
        before(fw);
        return QString();
    };
    QTest::newRow(tag) << BadInput {nothingRefused, {}, {}};
}

// An update that completes, and Update offered again after it.
bool updateCompletes(DialogRun &run)
{
    return run.update(kComplete) && QTest::qWaitFor([&] { return run.ready(); }, kDeadline);
}

enum Phase { BeforeAnswer, Idle, FirstLine, MiddleLine, EndRecord, LastEndRecord };
enum Fault { Unplug, WriteFails, Silence, ThreeBusTimeouts, StrayAck, UnknownCodes };

} // namespace

class TestHardening : public FreshUnitTest
{
    Q_OBJECT

private slots:

    void badFirmwareSet_data();
    void badFirmwareSet();
    void unitFault_data();
    void unitFault();
};

void TestHardening::badFirmwareSet_data()
{
    QTest::addColumn<BadInput>("input");

    addRefused("binary garbage", QStringLiteral("a control byte (0x0B) in line 1 at character 1"),
        [](FirmwareFolder &fw) {
            writeSet(fw);
            QByteArray junk;
            for (int i = 0; i < 300; ++i)
                junk.append(char((i * 73 + 11) % 256));
            return fw.write(FirmwareFolder::kMidiName, junk);
        });
    addRefused("NUL byte inside a line", QStringLiteral("a NUL byte (0x00) in line 1 at character 6"),
        [](FirmwareFolder &fw) {
            writeSet(fw);
            QByteArray text = Hex::join(Hex::image(3, 1), "\n");
            text[5] = '\0';
            return fw.write(FirmwareFolder::kGpioName, text);
        });
    addRefused("CR inside a line", QStringLiteral("a control byte (0x0D) in line 1 at character 21"),
        [](FirmwareFolder &fw) {
            writeSet(fw);
            QByteArray text = Hex::join(Hex::image(3, 1), "\r\n");
            text.insert(20, '\r');
            return fw.write(FirmwareFolder::kGpioName, text);
        });
    addRefused("CR-only line ends",
        QStringLiteral(
            "line 1 ends in a bare CR (0x0D) at character 44: a line end of CR only, not LF or CR LF"),
        [](FirmwareFolder &fw) {
            writeSet(fw);
            return fw.write(FirmwareFolder::kMainName, Hex::join(Hex::image(3, 3), "\r"));
        });
    addRefused("one data digit flipped", QStringLiteral("line 2: checksum 0xE8, the record needs 0xE7"),
        [](FirmwareFolder &fw) {
            writeSet(fw);
            QStringList lines = Hex::image(3, 3);
            lines[1] = QStringLiteral(":0400000012345679E8"); // E7 would make it sum to 0
            return fw.write(FirmwareFolder::kMainName, Hex::join(lines, "\r\n"));
        });
    addRefused(
        "file becomes a directory after start-up", QStringLiteral("is not a regular file (a folder)"),
        [](FirmwareFolder &fw) {
            writeSet(fw);
            return fw.midiPath;
        },
        [](FirmwareFolder &fw) {
            QFile::remove(fw.midiPath);
            QDir().mkdir(fw.midiPath);
        });
    addSent("symbolic link to a valid file (sent)", [](FirmwareFolder &fw) {
        writeSet(fw);
        const QString elsewhere = fw.path() + QStringLiteral("/../gpio-elsewhere.hex");
        QFile::remove(elsewhere);
        QFile::rename(fw.gpioPath, elsewhere);
        QFile::link(elsewhere, fw.gpioPath);
    });
    addSent("lower-case hex digits (sent)", [](FirmwareFolder &fw) {
        writeSet(fw);
        fw.write(FirmwareFolder::kMidiName, Hex::join(Hex::image(4, 2)).toLower());
    });
    addSent("non-ASCII file name (sent)", [](FirmwareFolder &fw) {
        writeSet(fw, QStringLiteral("TQR7_MAIN_2-1-4_160315_\u00c4\u00df\u4e2d.hex"));
    });
    addSent("very long file name (sent)", [](FirmwareFolder &fw) {
        writeSet(fw, QStringLiteral("TQR7_MAIN_2-1-4_160315_") + QString(220, QLatin1Char('x')));
    });
}

void TestHardening::badFirmwareSet()
{
    QFETCH(BadInput, input);
#ifdef Q_OS_WIN
    if (qstrcmp(QTest::currentDataTag(), "symbolic link to a valid file (sent)") == 0)
        QSKIP("QFile::link makes a shortcut on Windows: a file of its own, not a link");
#endif
    FirmwareFolder fw;
    const QString refused = input.before(fw);

    DialogRun run(fw.path());
    QCOMPARE(run.version->text(), kSampleVersion);
    QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    if (input.after)
        input.after(fw);

    if (refused.isEmpty()) {
        QVERIFY(updateCompletes(run));
        QCOMPARE(received(1), asReceived(fw.gpioPath));
        QCOMPARE(received(3), asReceived(fw.midiPath));
        QCOMPARE(received(4), asReceived(fw.mainPath));
        VERIFY_NO_VIOLATIONS();
        return;
    }
    QVERIFY(run.pressUpdate());
    QTRY_VERIFY_WITH_TIMEOUT(run.showing(kFileError) && run.ready(), kDeadline);
    QVERIFY(dataReports().isEmpty());
    QVERIFY(run.idleDisplay());
    QCOMPARE(
        run.log.linesStartingWith({kFirmwareFileError}), QStringList {fileErrorLine(refused, input.reason)});
}

void TestHardening::unitFault_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("result"); // what labelComplete shows; empty: nothing
    QTest::addColumn<bool>("linkDropped");

    const char *phases[] = {"before the answer", "idle and ready", "first line of a target", "middle line",
        "end record", "last end record"};
    const char *faults[] = {"unplug", "failed write", "silence", "three bus time-outs",
        "stray acknowledgement", "burst of unknown codes"};
    for (int phase = BeforeAnswer; phase <= LastEndRecord; ++phase) {
        for (int fault = Unplug; fault <= UnknownCodes; ++fault) {
            QString result;
            const bool inFlight = phase >= FirstLine || (phase == Idle && fault == WriteFails);
            // Only a stray answer is taken as the acknowledgement it looks like.
            if (inFlight && fault == ThreeBusTimeouts)
                result = kCommsError;
            else if (inFlight)
                result = fault == StrayAck || fault == UnknownCodes ? kComplete : kNoResponse;
            const bool dropped = fault == Unplug || fault == WriteFails;
            QTest::addRow("%s, %s", phases[phase], faults[fault]) << phase << fault << result << dropped;
        }
    }
}

void TestHardening::unitFault()
{
    QFETCH(int, phase);
    QFETCH(int, fault);
    QFETCH(QString, result);
    QFETCH(bool, linkDropped);

    FirmwareFolder fw;
    writeSet(fw);
    // Where the fault strikes, by phase: the data report of this target and
    // line (idle: the first report of the next update).
    const int targets[] = {0, 1, 2, 2, 2, 4};
    const int lines[] = {0, 1, 1, 2, 4, 3};
    const int target = targets[phase], line = lines[phase];
    // While no report is in flight only a lost unit changes anything.
    const bool inFlight = phase >= FirstLine || (phase == Idle && fault == WriteFails);
    const auto strayReports = [&] {
        if (fault == StrayAck)
            Tqr7Hid::injectInputReport({0x01});
        if (fault == ThreeBusTimeouts && !inFlight)
            for (int i = 0; i < 3; ++i)
                Tqr7Hid::injectInputReport({0x02});
        if (fault == UnknownCodes)
            for (std::uint8_t code : {0x00, 0x03, 0x7F, 0xFF, 0x55})
                Tqr7Hid::injectInputReport({code, 0x01});
    };

    if (phase == BeforeAnswer)
        Tqr7Hid::setUpdateMode(false);
    DialogRun run(fw.path());
    QTRY_COMPARE_WITH_TIMEOUT(
        run.status->text(), phase == BeforeAnswer ? kNotInUpdateMode : kReady, kDeadline);
    const size_t opensBefore = Tqr7Hid::openAttemptTimes().size();

    if (!inFlight) {
        if (fault == Unplug)
            Tqr7Hid::unplug();
        else if (fault == WriteFails)
            Tqr7Hid::failQueryWrites(1);
        else
            strayReports();
        const size_t reads = Tqr7Hid::readTimes().size();
        QTRY_VERIFY_WITH_TIMEOUT(
            Tqr7Hid::readTimes().size() > reads + 20 || Tqr7Hid::openAttemptTimes().size() > opensBefore + 1,
            kDeadline);
        if (!linkDropped)
            QCOMPARE(run.status->text(), phase == BeforeAnswer ? kNotInUpdateMode : kReady);
    } else {
        // What the unit does with that report, by fault: the bus times out on
        // every attempt; the stray reports arrive while the unit still works
        // on the line.
        const Answer answers[] = {Answer::Unplug, Answer::WriteFails, Answer::Silence, Answer::BoardTimeout,
            Answer::Acknowledge, Answer::Acknowledge};
        const bool stray = fault == StrayAck || fault == UnknownCodes;
        Tqr7Hid::planAnswer(
            target, line, fault == ThreeBusTimeouts ? 0 : 1, answers[fault], stray ? 300 : -1);
        QVERIFY(run.pressUpdate());
        if (fault == StrayAck || fault == UnknownCodes) {
            QTRY_VERIFY_WITH_TIMEOUT(
                !reportsFor(target).isEmpty() && reportsFor(target).last().line() == line, kDeadline);
            strayReports();
        }
        QVERIFY(run.ends(result));
        if (result != kComplete)
            QVERIFY(run.idleDisplay());
        // Never a fourth transmission of a line.
        for (const Sent &s : dataReports())
            QVERIFY(s.attempt() >= 1 && s.attempt() <= 3);
    }
    if (result.isEmpty())
        QVERIFY(run.complete->isHidden());
    if (linkDropped)
        QTRY_VERIFY_WITH_TIMEOUT(Tqr7Hid::openAttemptTimes().size() > opensBefore, kDeadline);
    // One line says which call failed and why, in hidapi's words. A unit
    // pulled out fails the next read, or a query written first.
    const QStringList lost = run.log.linesStartingWith({kLinkLost});
    if (!linkDropped) {
        QVERIFY2(lost.isEmpty(), qPrintable(lost.join(QLatin1Char('\n'))));
    } else {
        QCOMPARE(lost.size(), 1);
        const QString expected = fault == Unplug
            ? QStringLiteral("failed: Device is gone")
            : kLinkLost + QStringLiteral(" hid_write failed: Simulated write failure");
        QVERIFY2(lost.first().endsWith(expected), qPrintable(lost.first()));
    }
    // A stray acknowledgement is taken for the answer to the report in
    // flight, so the next report goes out before the unit has answered: the
    // unit sees two reports in flight. After the last end record nothing
    // follows; any other fault costs no violation.
    QString expected;
    if (fault == StrayAck && inFlight && phase != LastEndRecord)
        expected = QStringLiteral("target %1 line %2: two reports in flight: written before the answer to "
                                  "target %3 line %4 was read")
                       .arg(phase == EndRecord ? target + 1 : target)
                       .arg(phase == EndRecord ? 1 : line + 1)
                       .arg(target)
                       .arg(line);
    QCOMPARE(violationsSeen(), expected);

    // The link and the button recover, and the next update goes through whole.
    Tqr7Hid::attach();
    Tqr7Hid::setUpdateMode(true);
    Tqr7Hid::planAnswer(0, 0, 0, Answer::Acknowledge);
    QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kReady, kDeadline);
    QVERIFY(updateCompletes(run));
    QCOMPARE(received(2), asReceived(fw.midiPath));
    QCOMPARE(received(4), asReceived(fw.mainPath));
}

QTEST_MAIN(TestHardening)
#include "tst_hardening.moc"
