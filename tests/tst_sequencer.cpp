// SPDX-License-Identifier: MIT
// An update run against the simulated unit: what goes out and in which order,
// how the unit's answers, its silence and its loss end an update, the checks
// on the firmware files, and what the operator sees meanwhile.

#include "sim/tqr7hid.h"
#include "tests/support/dialogrun.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/freshunit.h"
#include "tests/support/probe.h"
#include "tests/support/texts.h"

#include <QFile>
#include <QSaveFile>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <optional>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

using Tqr7Hid::Answer;
using namespace Texts;

class TestSequencer : public FreshUnitTest
{
    Q_OBJECT

private slots:

    void completeUpdateSendsEveryLineOnce();
    void lineNumbersAndCountsTravelInSixteenBits();
    void endRecordBoundsEachFile();
    void lineEndsReachTheUnitAsCarriageReturn_data();
    void lineEndsReachTheUnitAsCarriageReturn();
    void busTimeoutIsRetriedWithTheSameReport_data();
    void busTimeoutIsRetriedWithTheSameReport();
    void thirdBusTimeoutEndsTheUpdate();
    void silenceEndsTheUpdateOnce_data();
    void silenceEndsTheUpdateOnce();
    void lossOfTheUnitEndsTheUpdate_data();
    void lossOfTheUnitEndsTheUpdate();
    void filesAreCheckedBeforeAnythingIsSent_data();
    void filesAreCheckedBeforeAnythingIsSent();
    void fileChangedDuringTheUpdateEndsIt_data();
    void fileChangedDuringTheUpdateEndsIt();
    void newUpdateStartsAfresh_data();
    void newUpdateStartsAfresh();
    void answersOutsideAnUpdateAreIgnored_data();
    void answersOutsideAnUpdateAreIgnored();
};

namespace {

constexpr double kWaitMs = 500;  // the response wait
constexpr double kEarlyMs = 50;  // a coarse timer may fire up to 5% early
constexpr double kLateMs = 2500; // a busy machine may deliver it late

const QStringList kSequencerLabels = {kBegin, kLoadFile, kFileComplete, kFileClosed, kTargetChanged,
    kBoardTimeout, kRetryData, kFirmwareFileError};

// What the operator sees, sampled on every pass of the event loop (1 ms) with
// the simulator's clock, so that short-lived states and the moment an ending
// appears can be checked afterwards.
class Recorder
{
public:
    struct Sample
    {
        double timeMs;
        QString status, target, complete;
        bool completeShown, buttonEnabled;
        int sub, overall;
    };

    explicit Recorder(const DialogRun &run) : run(run)
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1);
        QObject::connect(&timer, &QTimer::timeout, [this] { sample(); });
        sample();
        timer.start();
    }

    // The first sample from fromMs on that satisfies the predicate.
    std::optional<Sample> first(const std::function<bool(const Sample &)> &pred, double fromMs = 0) const
    {
        for (const Sample &s : samples)
            if (s.timeMs >= fromMs && pred(s))
                return s;
        return std::nullopt;
    }
    std::optional<Sample> firstShowing(const QString &result, double fromMs = 0) const
    {
        return first([&](const Sample &s) { return s.completeShown && s.complete == result; }, fromMs);
    }

    QVector<Sample> samples;

private:
    void sample()
    {
        samples.append({Tqr7Hid::nowMs(), run.status->text(), run.target->text(), run.complete->text(),
            run.complete->isVisible(), run.button->isEnabled(), run.sub->value(), run.overall->value()});
    }

    const DialogRun &run;
    QTimer timer;
};

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The reads the dialog made since the given moment.
int readsSince(double timeMs)
{
    int n = 0;
    for (double t : Tqr7Hid::readTimes())
        if (t > timeMs)
            ++n;
    return n;
}

// A 22-data-byte record: 55 characters, 56 bytes with its line end.
QString widestRecord()
{
    QByteArray data;
    for (int i = 0; i < 22; ++i)
        data.append(char(0x11 * (i % 15)));
    return QString::fromLatin1(Hex::record(0, 0x0100, data));
}

enum Role { Gpio, Midi, Main };

QString pathOf(const FirmwareFolder &fw, int role)
{
    return role == Gpio ? fw.gpioPath : role == Midi ? fw.midiPath : fw.mainPath;
}

} // namespace

void TestSequencer::completeUpdateSendsEveryLineOnce()
{
    FirmwareFolder fw;
    fw.writeSet(5, 7, 9);
    const int total = fw.lines.total();
    const int midiLines = fw.lines.midi, mainLines = fw.lines.main;
    const QStringList midi = fw.image(2);

    DialogRun run(fw.path());
    QVERIFY(run.found());
    QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    Recorder recorder(run);
    run.log.clear();

    const double clickedAt = Tqr7Hid::nowMs();
    QVERIFY(run.update(kComplete));

    VERIFY_NO_VIOLATIONS();
    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), total);
    for (const Sent &s : sent)
        QCOMPARE(s.attempt(), 1);
    QCOMPARE(received(1), asReceived(fw.gpioPath));
    QCOMPARE(received(2), asReceived(fw.midiPath));
    QCOMPARE(received(3), asReceived(fw.midiPath));
    QCOMPARE(received(4), asReceived(fw.mainPath));
    for (int t = 2; t <= 3; ++t) {
        const QVector<Sent> midiReports = reportsFor(t, sent);
        QCOMPARE(midiReports.size(), midiLines);
        QCOMPARE(midiReports.first().line(), 1);
        QCOMPARE(midiReports.first().count(), midiLines);
    }

    // One data line and one end record, byte for byte.
    const Sent line3 = reportsFor(2, sent).at(2);
    const auto report = [](int target, int line, int count, const QString &text) {
        return bytesOf(Wire::dataReport(target, line, count, text.toStdString(), 1)).toHex(' ');
    };
    QCOMPARE(line3.bytes.toHex(' '), report(2, 3, midiLines, midi.at(2)));
    QCOMPARE(reportsFor(4, sent).last().bytes.toHex(' '),
        report(4, mainLines, mainLines, QString::fromLatin1(Hex::endRecord())));

    // The finished display.
    QCOMPARE(run.overall->maximum(), total);
    QCOMPARE(run.overall->value(), total);
    QCOMPARE(run.sub->maximum(), mainLines);
    QCOMPARE(run.sub->value(), mainLines);
    QCOMPARE(run.target->text(), kTargetNames.last());
    QCOMPARE(run.status->text(), kReady);
    QVERIFY(run.button->isEnabled());

    // While it ran: "Updating...", the button disabled, each target named.
    QStringList targetsShown;
    for (const Recorder::Sample &s : recorder.samples) {
        if (s.timeMs < clickedAt || s.completeShown)
            continue;
        QCOMPARE(s.status, kUpdating);
        QVERIFY(!s.buttonEnabled);
        if (targetsShown.isEmpty() || targetsShown.last() != s.target)
            targetsShown << s.target;
    }
    QCOMPARE(targetsShown, kTargetNames);

    // A line per target.
    // clang-format off
    const QStringList expectedLog = {
        logLine(kBegin, 1), logLine(kLoadFile, fw.gpioPath), kFileComplete, kFileClosed,
        kTargetChanged, logLine(kLoadFile, fw.midiPath), logLine(kTargetChangedTo, 2), kFileComplete, kFileClosed,
        kTargetChanged, logLine(kLoadFile, fw.midiPath), logLine(kTargetChangedTo, 3), kFileComplete, kFileClosed,
        kTargetChanged, logLine(kLoadFile, fw.mainPath), logLine(kTargetChangedTo, 4), kFileComplete, kFileClosed,
        kTargetChanged, kFileClosed,
    };
    // clang-format on
    QCOMPARE(run.log.linesStartingWith(kSequencerLabels), expectedLog);
}

void TestSequencer::lineNumbersAndCountsTravelInSixteenBits()
{
    const int gpioLines = 300;
    FirmwareFolder fw;
    fw.writeSet(gpioLines, 2, 2);

    DialogRun run(fw.path());
    QVERIFY(run.pressUpdate());
    QVERIFY(run.ends(kComplete, 60000));

    VERIFY_NO_VIOLATIONS();
    const QVector<Sent> gpio = reportsFor(1);
    QCOMPARE(gpio.size(), gpioLines);
    // Target, line number and line count, the numbers high byte first.
    const auto header = [&](int index) {
        return gpio.at(index).bytes.mid(Wire::kTargetByte, Wire::kLengthByte - Wire::kTargetByte).toHex(' ');
    };
    QCOMPARE(header(255), QByteArray("01 01 00 01 2c"));
    QCOMPARE(header(299), QByteArray("01 01 2c 01 2c"));
    QCOMPARE(run.overall->value(), fw.lines.total());
}

void TestSequencer::endRecordBoundsEachFile()
{
    FirmwareFolder fw;
    fw.writeSet(4, 1, 6);
    // The main file goes on past its end record; none of that reaches the unit,
    // not even a line that would not fit a report.
    const QStringList main = fw.image(4);
    const QStringList trailing = {QString::fromLatin1(Hex::record(0, 0x0200, QByteArray(16, 'x'))),
        QString(70, QLatin1Char('0')), QString::fromLatin1(Hex::endRecord())};
    fw.write(FirmwareFolder::kMainName, Hex::join(main + trailing));

    DialogRun run(fw.path());
    QVERIFY(run.update(kComplete));

    VERIFY_NO_VIOLATIONS();
    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), fw.lines.total());
    QCOMPARE(run.overall->maximum(), fw.lines.total());
    // A MIDI file that is just its end record: one report to each MIDI target.
    for (int t = 2; t <= 3; ++t) {
        const QVector<Sent> midi = reportsFor(t, sent);
        QCOMPARE(midi.size(), 1);
        QCOMPARE(midi.first().line(), 1);
        QCOMPARE(midi.first().count(), 1);
        QCOMPARE(received(t), QByteArray(":00000001FF\r"));
    }
    QCOMPARE(received(4), asReceived(fw.mainPath));
    QCOMPARE(reportsFor(4, sent).last().line(), fw.lines.main);
    QCOMPARE(run.log.linesStartingWith({kFileComplete}).size(), Wire::kTargets);
}

void TestSequencer::lineEndsReachTheUnitAsCarriageReturn_data()
{
    QTest::addColumn<QByteArray>("mainContent");

    const QStringList main = Hex::image(5, 3);
    QTest::newRow("LF") << Hex::join(main);
    QTest::newRow("CR LF") << Hex::join(main, "\r\n");
    QByteArray unterminated = Hex::join(main);
    unterminated.chop(1);
    QTest::newRow("last line without line end") << unterminated;
    QStringList wide = main;
    wide[1] = widestRecord();
    QTest::newRow("56-byte line") << Hex::join(wide);
}

void TestSequencer::lineEndsReachTheUnitAsCarriageReturn()
{
    QFETCH(QByteArray, mainContent);
    FirmwareFolder fw;
    fw.writeSet(2, 2, 5);
    fw.write(FirmwareFolder::kMainName, mainContent);

    DialogRun run(fw.path());
    QVERIFY(run.update(kComplete));

    VERIFY_NO_VIOLATIONS();
    QByteArray expected = mainContent;
    expected.replace("\r\n", "\n");
    if (!expected.endsWith('\n'))
        expected.append('\n');
    expected.replace('\n', '\r');
    QCOMPARE(received(4), expected);

    const QVector<Sent> main = reportsFor(4);
    QCOMPARE(main.size(), fw.lines.main);
    for (const Sent &s : main) {
        QCOMPARE(s.bytes.size(), int(Wire::kOutputSize));
        QCOMPARE(s.byte(Wire::kTextByte + s.length() - 1), int(Wire::kLineEnd));
        QCOMPARE(s.bytes.mid(Wire::kTextByte + s.length()), QByteArray(Wire::kMaxLine - s.length(), '\0'));
    }
    QCOMPARE(main.last().length(), 12); // ":00000001FF" and its CR
}

void TestSequencer::busTimeoutIsRetriedWithTheSameReport_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("line");

    // Files: GPIO 4 lines, MIDI 5, main 3.
    QTest::newRow("GPIO data line") << 1 << 2;
    QTest::newRow("MIDI 2 end record") << 3 << 5;
    QTest::newRow("main first line") << 4 << 1;
}

void TestSequencer::busTimeoutIsRetriedWithTheSameReport()
{
    QFETCH(int, target);
    QFETCH(int, line);
    FirmwareFolder fw;
    fw.writeSet(4, 5, 3);
    Tqr7Hid::planAnswer(target, line, 1, Answer::BoardTimeout);
    Tqr7Hid::planAnswer(target, line, 2, Answer::BoardTimeout);

    DialogRun run(fw.path());
    QVERIFY(run.update(kComplete));

    VERIFY_NO_VIOLATIONS();
    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), fw.lines.total() + 2); // two retransmissions
    const auto firstSent = std::find_if(
        sent.begin(), sent.end(), [&](const Sent &s) { return s.target() == target && s.line() == line; });
    QVERIFY(sent.end() - firstSent > 3);
    const int first = int(firstSent - sent.begin());
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const Sent &s = sent[first + attempt - 1];
        QCOMPARE(s.attempt(), attempt);
        QByteArray same = s.bytes;
        same[Wire::kAttemptByte] = 1;
        QCOMPARE(same.toHex(' '), sent[first].bytes.toHex(' '));
    }
    QCOMPARE(sent[first + 3].attempt(), 1);
    QVERIFY(sent[first + 3].bytes != sent[first].bytes);

    QCOMPARE(run.log.linesStartingWith({kBoardTimeout, kRetryData}),
        QStringList({logLine(kBoardTimeout, 1), logLine(kRetryData, 2), logLine(kBoardTimeout, 2),
            logLine(kRetryData, 3)}));
    QCOMPARE(received(4), asReceived(fw.mainPath));
    QCOMPARE(received(3), asReceived(fw.midiPath));
}

void TestSequencer::thirdBusTimeoutEndsTheUpdate()
{
    const int target = 2, line = 3;
    FirmwareFolder fw;
    fw.writeSet(3, 4, 3);
    Tqr7Hid::planAnswer(target, line, 0, Answer::BoardTimeout);

    DialogRun run(fw.path());
    QVERIFY(run.update(kCommsError));
    QVERIFY(run.idleDisplay());
    QVERIFY(run.button->isEnabled());

    // Nothing more goes out and the response wait does not overwrite the text.
    QVERIFY(run.runFor(1200));
    QVERIFY(run.showing(kCommsError));
    QVERIFY(run.idleDisplay());
    QVERIFY(run.button->isEnabled());
    QCOMPARE(run.status->text(), kReady);
    VERIFY_NO_VIOLATIONS();
    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), fw.lines.before(target) + line - 1 + Wire::kMaxAttempts);
    for (int i = 0; i < Wire::kMaxAttempts; ++i) {
        const Sent &s = sent[sent.size() - Wire::kMaxAttempts + i];
        QCOMPARE(s.target(), target);
        QCOMPARE(s.line(), line);
        QCOMPARE(s.attempt(), i + 1);
    }
    QCOMPARE(run.log.linesStartingWith({kBoardTimeout}),
        QStringList({logLine(kBoardTimeout, 1), logLine(kBoardTimeout, 2), logLine(kBoardTimeout, 3)}));
    QCOMPARE(run.log.lines().count(kFileClosed), 2); // GPIO's, then the ending's
}

void TestSequencer::silenceEndsTheUpdateOnce_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("busTimeoutDelayMs"); // < 0: silent at once

    // Files: GPIO 4 lines, MIDI 3, main 3.
    QTest::newRow("first attempt") << 2 << 2 << -1;
    QTest::newRow("end record") << 1 << 4 << -1;
    QTest::newRow("after a retransmission") << 1 << 3 << 300;
}

void TestSequencer::silenceEndsTheUpdateOnce()
{
    QFETCH(int, target);
    QFETCH(int, line);
    QFETCH(int, busTimeoutDelayMs);
    FirmwareFolder fw;
    fw.writeSet(4, 3, 3);
    int silentReport = fw.lines.before(target) + line;
    if (busTimeoutDelayMs >= 0) {
        Tqr7Hid::planAnswer(target, line, 1, Answer::BoardTimeout, busTimeoutDelayMs);
        Tqr7Hid::planAnswer(target, line, 2, Answer::Silence);
        ++silentReport;
    } else {
        Tqr7Hid::planAnswer(target, line, 1, Answer::Silence);
    }

    DialogRun run(fw.path());
    QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    Recorder recorder(run);
    QVERIFY(run.pressUpdate());
    // Nothing is logged between the silent report and its ending.
    QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), silentReport, kDeadline);
    run.log.clear();

    QTRY_VERIFY_WITH_TIMEOUT(recorder.firstShowing(kNoResponse), kDeadline);
    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), silentReport);
    const double lastSent = sent.last().timeMs;
    const auto ending = recorder.firstShowing(kNoResponse);
    QVERIFY(ending);
    QVERIFY2(ending->timeMs - lastSent >= kWaitMs - kEarlyMs,
        qPrintable(QStringLiteral("ended %1 ms after the last report").arg(ending->timeMs - lastSent)));
    QVERIFY2(ending->timeMs - lastSent <= kWaitMs + kLateMs,
        qPrintable(QStringLiteral("ended %1 ms after the last report").arg(ending->timeMs - lastSent)));
    QVERIFY(run.idleDisplay());
    QTRY_VERIFY_WITH_TIMEOUT(run.button->isEnabled(), kDeadline);

    // The ending runs once: a second second passes without another one.
    QVERIFY(run.runFor(1200));
    QCOMPARE(run.log.linesExcept({kInhibitFailed}), QStringList({kFileClosed, endedLine(kNoResponse)}));
    QVERIFY(run.showing(kNoResponse));
    QVERIFY(run.idleDisplay());
    QCOMPARE(run.status->text(), kReady);
    QCOMPARE(dataReports().size(), silentReport);
    VERIFY_NO_VIOLATIONS();
}

void TestSequencer::lossOfTheUnitEndsTheUpdate_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("staysAttached");

    QTest::newRow("unplugged") << int(Answer::Unplug) << false;
    QTest::newRow("write fails") << int(Answer::WriteFails) << true;
}

void TestSequencer::lossOfTheUnitEndsTheUpdate()
{
    QFETCH(int, answer);
    QFETCH(bool, staysAttached);
    const int target = 2, line = 2;
    FirmwareFolder fw;
    fw.writeSet(3, 4, 3);
    Tqr7Hid::planAnswer(target, line, 1, Answer(answer));

    DialogRun run(fw.path());
    QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    Recorder recorder(run);
    QVERIFY(run.pressUpdate());
    QTRY_VERIFY_WITH_TIMEOUT(recorder.firstShowing(kNoResponse), kDeadline);

    const QVector<Sent> sent = dataReports();
    const int sentWhenLost = fw.lines.before(target) + line;
    QCOMPARE(sent.size(), sentWhenLost);
    const double lostAt = sent.last().timeMs;

    // At once: the link is down.
    const auto down
        = recorder.first([](const Recorder::Sample &s) { return s.status == kNotConnected; }, lostAt);
    QVERIFY(down);
    QVERIFY2(down->timeMs - lostAt < kWaitMs - kEarlyMs,
        qPrintable(QStringLiteral("link down %1 ms after the loss").arg(down->timeMs - lostAt)));
    QVERIFY(!down->completeShown);
    QVERIFY(!down->buttonEnabled);
    if (!staysAttached) {
        QCOMPARE(down->sub, 0);
        QCOMPARE(down->overall, 0);
        QCOMPARE(down->target, kNoTarget);
    }

    // Then the response wait ends the update.
    const auto ending = recorder.firstShowing(kNoResponse);
    QVERIFY(ending);
    QVERIFY2(ending->timeMs - lostAt >= kWaitMs - kEarlyMs && ending->timeMs - lostAt <= kWaitMs + kLateMs,
        qPrintable(QStringLiteral("ended %1 ms after the last report").arg(ending->timeMs - lostAt)));
    QVERIFY(run.idleDisplay());
    QCOMPARE(run.log.linesStartingWith(kSequencerLabels).last(), kFileClosed);

    if (!staysAttached) {
        QVERIFY(run.runFor(600));
        QCOMPARE(run.status->text(), kNotConnected);
        QVERIFY(!run.button->isEnabled());
        Tqr7Hid::attach();
    }
    // The unit back: ready again, the result still shown.
    QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    QVERIFY(run.showing(kNoResponse));
    QCOMPARE(dataReports().size(), sentWhenLost);
    VERIFY_NO_VIOLATIONS();

    // And a new update goes through on the new handle.
    Tqr7Hid::planAnswer(target, line, 1, Answer::Acknowledge);
    QVERIFY(run.update(kComplete));
    QCOMPARE(dataReports().size(), sentWhenLost + fw.lines.total());
    QCOMPARE(received(4), asReceived(fw.mainPath));
    VERIFY_NO_VIOLATIONS();
}

namespace {
enum When { BeforeStart, AfterStart, AfterCompleteUpdate };

// One file of the set changed, and what the check before an update makes of it.
struct FileChange
{
    Role role = Gpio;
    QByteArray content;   // what the file then holds,
    bool removed = false; // or it is gone
    When when = BeforeStart;
    int lineCount = 0; // of the GPIO file, where it is sent
    QString reason;    // after the path on the refusal's line; none where it is sent
    QString note;      // on its lines after the end record, where it is sent

    bool accepted() const { return reason.isEmpty(); }
};

FileChange refused(Role role, const QByteArray &content, const QString &reason, When when = BeforeStart)
{
    return {role, content, false, when, 0, reason, QString()};
}

FileChange removed(Role role, When when, const QString &reason)
{
    return {role, QByteArray(), true, when, 0, reason, QString()};
}

FileChange sentAsGpio(
    const QByteArray &content, int lineCount, When when = BeforeStart, const QString &note = QString())
{
    return {Gpio, content, false, when, lineCount, QString(), note};
}
} // namespace

Q_DECLARE_METATYPE(FileChange)

void TestSequencer::filesAreCheckedBeforeAnythingIsSent_data()
{
    QTest::addColumn<FileChange>("change");

    QStringList noEnd = Hex::image(6, 2);
    noEnd.removeLast();
    QStringList tooLong = Hex::image(5, 3);
    tooLong[1] = widestRecord() + QLatin1Char('0'); // 57 bytes with its line end
    QStringList widest = Hex::image(5, 1);
    widest[0] = widestRecord(); // 56 bytes with its line end
    QStringList endlessTail = Hex::image(4, 1);
    endlessTail << QString(80, QLatin1Char('F'));
    // A record whose bytes sum to 0 as they should: 04 + 12 + 34 + 56 + 78 + E8.
    const QString record = QStringLiteral(":0400000012345678E8");
    const auto withThirdLine = [](int seed, const QString &line) {
        QStringList lines = Hex::image(6, seed);
        lines[2] = line;
        return Hex::join(lines);
    };
    QStringList lowerCase = Hex::image(5, 1);
    for (QString &line : lowerCase)
        line = line.toLower();

    QTest::newRow("empty") << refused(Gpio, "", QStringLiteral("empty file"));
    QTest::newRow("no end record") << refused(Midi, Hex::join(noEnd), QStringLiteral("no end record"));
    QTest::newRow("57-byte line") << refused(Main, Hex::join(tooLong),
        QStringLiteral("line 2 has 56 characters; a report takes at most 55 and the line end"));
    QTest::newRow("65536 lines") << refused(
        Main, Hex::join(Hex::image(65536, 3)), QStringLiteral("more than 65,535 lines"));
    QTest::newRow("removed after start-up")
        << removed(Gpio, AfterStart, QStringLiteral("cannot be opened: no such file"));
    QTest::newRow("end record lost after an update")
        << refused(Main, Hex::join(noEnd), QStringLiteral("no end record"), AfterCompleteUpdate);

    QTest::newRow("one data digit flipped")
        << refused(Main, withThirdLine(3, QStringLiteral(":0400000012345679E8")),
               QStringLiteral("line 3: checksum 0xE8, the record needs 0xE7"));
    QTest::newRow("no colon") << refused(Gpio, withThirdLine(1, record.mid(1)),
        QStringLiteral("line 3: not an Intel HEX record (no ':' at the start)"));
    QTest::newRow("byte count off by one")
        << refused(Midi, withThirdLine(2, QStringLiteral(":0500000012345678E7")),
               QStringLiteral("line 3: byte count 5 but 4 data bytes"));
    QTest::newRow("record type 06") << refused(Main, withThirdLine(3, QStringLiteral(":0400000612345678E2")),
        QStringLiteral("line 3: record type 06, not one of 00 to 05"));
    QTest::newRow("odd number of digits") << refused(Main, withThirdLine(3, record.chopped(1)),
        QStringLiteral("line 3: not an Intel HEX record (an odd number of hex digits)"));
    QTest::newRow("blank line") << refused(
        Gpio, withThirdLine(1, QString()), QStringLiteral("line 3: not an Intel HEX record (a blank line)"));
    QTest::newRow("trailing space") << refused(Gpio, withThirdLine(1, record + QLatin1Char(' ')),
        QStringLiteral("line 3: not an Intel HEX record (' ' at character 20 is not a hex digit)"));
    QTest::newRow("damaged after start-up")
        << refused(Midi, withThirdLine(2, record.left(17) + QStringLiteral("99")),
               QStringLiteral("line 3: checksum 0x99, the record needs 0xE8"), AfterStart);
    QTest::newRow("1 MiB without a line end") << refused(Main, QByteArray(1 << 20, 'F'),
        QStringLiteral("line 1 has 1048576 characters; a report takes at most 55 and the line end"));

    QTest::newRow("56-byte line") << sentAsGpio(Hex::join(widest), 5);
    QTest::newRow("65535 lines") << sentAsGpio(Hex::join(Hex::image(65535, 1)), 65535);
    QTest::newRow("long line after the end record") << sentAsGpio(
        Hex::join(endlessTail), 4, BeforeStart, QStringLiteral("1 line after the end record is not sent"));
    QTest::newRow("lower-case hex digits") << sentAsGpio(Hex::join(lowerCase), 5);
    QTest::newRow("grown after start-up") << sentAsGpio(Hex::join(Hex::image(9, 4)), 9, AfterStart);
}

void TestSequencer::filesAreCheckedBeforeAnythingIsSent()
{
    QFETCH(FileChange, change);

    FirmwareFolder fw;
    fw.writeSet(4, 5, 6);
    const QString path = pathOf(fw, change.role);
    auto apply = [&] {
        if (change.removed)
            QVERIFY(QFile::remove(path));
        else
            QVERIFY(writeFile(path, change.content));
    };
    if (change.when == BeforeStart) {
        apply();
        if (QTest::currentTestFailed())
            return;
    }

    DialogRun run(fw.path());
    QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    if (change.when == AfterCompleteUpdate) {
        QVERIFY(run.update(kComplete));
        QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    }
    if (change.when != BeforeStart) {
        apply();
        if (QTest::currentTestFailed())
            return;
    }
    const int sentBefore = dataReports().size();
    run.log.clear();

    QVERIFY(run.pressUpdate());

    if (change.accepted()) {
        QTRY_VERIFY_WITH_TIMEOUT(dataReports().size() > sentBefore, kDeadline);
        QVERIFY(!run.complete->isVisible());
        const Sent first = dataReports().at(sentBefore);
        const QByteArray firstLine = change.content.left(change.content.indexOf('\n'));
        QCOMPARE(first.target(), 1);
        QCOMPARE(first.line(), 1);
        QCOMPARE(first.count(), change.lineCount);
        QCOMPARE(first.length(), firstLine.size() + 1);
        QCOMPARE(first.text(), firstLine + '\r');
        // The overall bar measures the files as they are sent; a count that
        // changed since start-up is logged once more.
        SetLines sentLines = fw.lines;
        sentLines.gpio = change.lineCount;
        const int total = sentLines.total();
        QCOMPARE(run.overall->maximum(), total);
        const int startTotal = change.when == BeforeStart ? total : fw.lines.total();
        QCOMPARE(run.log.linesStartingWith({kTotalLineCount}),
            total == startTotal ? QStringList() : QStringList(logLine(kTotalLineCount, total)));
        // Lines after the end record are named before the update begins.
        QStringList notes;
        if (!change.note.isEmpty())
            notes << logLine(kFirmwareFileNote, path) + QLatin1Char(' ') + change.note;
        QCOMPARE(run.log.linesStartingWith({kFirmwareFileNote, kBegin}), notes << logLine(kBegin, 1));
        Tqr7Hid::unplug();
        QVERIFY(run.ends(kNoResponse));
        VERIFY_NO_VIOLATIONS();
        return;
    }

    QVERIFY(run.showing(kFileError));
    QCOMPARE(run.log.linesStartingWith(kSequencerLabels), QStringList(fileErrorLine(path, change.reason)));
    QVERIFY(run.idleDisplay());
    QVERIFY(run.button->isEnabled());
    QCOMPARE(run.status->text(), kReady);
    QVERIFY(run.runFor(300));
    QCOMPARE(dataReports().size(), sentBefore);
    QVERIFY(run.showing(kFileError));
    QVERIFY(run.button->isEnabled());
}

namespace {
// How a file changes while target 1 is sent: written over where it stands
// (a reader holding it open sees the new bytes past what it has buffered), a
// new file renamed over it, gone, or a named pipe in its place.
enum Change { Rewritten, Replaced, Removed, Piped };

// 400 lines whose first 373 fill 16 KiB exactly, the read-ahead of the file
// object: rewritten in place, the lines read after them are whole records of
// the new file.
QByteArray bufferAligned(int seed)
{
    const QStringList head = {QString::fromLatin1(Hex::record(0, 0xF000, QByteArray(4, char(seed)))),
        QString::fromLatin1(Hex::record(0, 0xF010, QByteArray(14, char(seed))))};
    return Hex::join(head + Hex::image(398, seed));
}
} // namespace

void TestSequencer::fileChangedDuringTheUpdateEndsIt_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QByteArray>("original"); // the file when Update is pressed; empty: the set's
    QTest::addColumn<int>("change");
    QTest::addColumn<QByteArray>("content"); // what the file holds after the change
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("linesTaken");
    QTest::addColumn<QString>("reason"); // none: the update completes

    // Files: GPIO 6 lines, MIDI 4, main 7.
    const QStringList main = Hex::image(7, 3);
    QStringList tooLong = main;
    tooLong[2] = widestRecord() + QLatin1Char('0');
    const QString differs = QStringLiteral("line %1 differs from the file checked when Update was pressed");
    QTest::newRow("main ends before its end record")
        << int(Main) << QByteArray() << int(Rewritten) << Hex::join(main.mid(0, 3)) << 4 << 3
        << QStringLiteral("no end record (changed since the check)");
    QTest::newRow("main gets a line too long")
        << int(Main) << QByteArray() << int(Rewritten) << Hex::join(tooLong) << 4 << 2
        << QStringLiteral("line 3 has 56 characters; a report takes at most 55 and the line end"
                          " (changed since the check)");
    QTest::newRow("MIDI removed") << int(Midi) << QByteArray() << int(Removed) << QByteArray() << 2 << 0
                                  << QStringLiteral("cannot be opened: no such file");
    QTest::newRow("MIDI replaced by another valid image")
        << int(Midi) << QByteArray() << int(Replaced) << Hex::join(Hex::image(4, 9)) << 2 << 0
        << differs.arg(1);
    const QByteArray midi = Hex::join(Hex::image(4, 9), "\r\n");
    QTest::newRow("MIDI replaced by the same bytes")
        << int(Midi) << midi << int(Replaced) << midi << 3 << 4 << QString();
    QTest::newRow("GPIO rewritten in place past the read-ahead")
        << int(Gpio) << bufferAligned(1) << int(Rewritten) << bufferAligned(5) << 1 << 373
        << differs.arg(374);
    // A last line goes out with a line end whether or not the file has one.
    QTest::newRow("MIDI's final line end removed")
        << int(Midi) << midi << int(Rewritten) << midi.chopped(2) << 3 << 4 << QString();
    QTest::newRow("MIDI's final line end added")
        << int(Midi) << midi.chopped(2) << int(Rewritten) << midi << 3 << 4 << QString();
    QTest::newRow("MIDI replaced by a named pipe")
        << int(Midi) << QByteArray() << int(Piped) << QByteArray() << 2 << 0
        << QStringLiteral("is not a regular file (a named pipe)");
}

void TestSequencer::fileChangedDuringTheUpdateEndsIt()
{
    QFETCH(int, role);
    QFETCH(QByteArray, original);
    QFETCH(int, change);
    QFETCH(QByteArray, content);
    QFETCH(int, target);
    QFETCH(int, linesTaken);
    QFETCH(QString, reason);

    FirmwareFolder fw;
    fw.writeSet(6, 4, 7);
    const QString path = pathOf(fw, role);
    if (!original.isEmpty())
        QVERIFY(writeFile(path, original));
    // The lines as checked, as the unit takes them in.
    QList<QByteArray> checked = contentOf(path).replace("\r\n", "\n").split('\n');
    if (checked.last().isEmpty())
        checked.removeLast(); // after the final line end

    DialogRun run(fw.path());
    QVERIFY(run.pressUpdate());
    QCOMPARE(dataReports().size(), 1);
    // Target 1 is still being sent; a changed file of another target is opened later.
    if (change == Removed) {
        QVERIFY(QFile::remove(path));
    } else if (change == Piped) {
#ifdef Q_OS_WIN
        QSKIP("no named pipes among the files of a folder on Windows");
#else
        QVERIFY(QFile::remove(path));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
#endif
    } else if (change == Replaced) {
        QSaveFile file(path); // written beside it, then renamed over it
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        QVERIFY(file.commit());
    } else {
        QVERIFY(writeFile(path, content));
    }

    const QString result = reason.isEmpty() ? kComplete : kFileError;
    QVERIFY(run.ends(result));
    QCOMPARE(run.log.linesStartingWith({kFirmwareFileError}),
        reason.isEmpty() ? QStringList() : QStringList(fileErrorLine(path, reason)));
    QTRY_VERIFY_WITH_TIMEOUT(run.button->isEnabled(), kDeadline);
    QCOMPARE(run.status->text(), kReady);

    // What was sent is the file as checked, up to the changed line.
    const QVector<Sent> sent = dataReports();
    QCOMPARE(reportsFor(target, sent).size(), linesTaken);
    for (const Sent &s : reportsFor(target, sent))
        QCOMPARE(s.count(), int(checked.size()));
    QByteArray expected;
    for (const QByteArray &line : checked.mid(0, linesTaken))
        expected += line + '\r';
    QCOMPARE(received(target), expected);
    if (reason.isEmpty()) {
        QCOMPARE(received(2), expected);
        VERIFY_NO_VIOLATIONS();
        return;
    }
    QVERIFY(run.idleDisplay());
    for (int t = target + 1; t <= 4; ++t)
        QVERIFY(reportsFor(t, sent).isEmpty());

    // Nothing follows the ending.
    QVERIFY(run.runFor(700));
    QCOMPARE(dataReports().size(), sent.size());
    QVERIFY(run.showing(kFileError));
    VERIFY_NO_VIOLATIONS();
}

namespace {
enum Ending { Complete, CommsError, Timeout, FileError };
}

void TestSequencer::newUpdateStartsAfresh_data()
{
    QTest::addColumn<int>("ending");
    QTest::addColumn<QString>("text");

    QTest::newRow("after completion") << int(Complete) << kComplete;
    QTest::newRow("after a comms error") << int(CommsError) << kCommsError;
    QTest::newRow("after a time-out") << int(Timeout) << kNoResponse;
    QTest::newRow("after a file error") << int(FileError) << kFileError;
}

void TestSequencer::newUpdateStartsAfresh()
{
    QFETCH(int, ending);
    QFETCH(QString, text);

    FirmwareFolder fw;
    fw.writeSet(4, 3, 5);
    const int total = fw.lines.total();
    const QByteArray mainContent = contentOf(fw.mainPath);
    if (ending == CommsError)
        Tqr7Hid::planAnswer(3, 2, 0, Answer::BoardTimeout);
    if (ending == Timeout)
        Tqr7Hid::planAnswer(2, 3, 1, Answer::Silence);

    DialogRun run(fw.path());
    QVERIFY(run.pressUpdate());
    if (ending == FileError)
        QVERIFY(writeFile(fw.mainPath, mainContent.left(mainContent.indexOf('\n') + 1)));
    QVERIFY(run.ends(text));

    // Take the fault away again.
    if (ending == CommsError)
        Tqr7Hid::planAnswer(3, 2, 0, Answer::Acknowledge);
    if (ending == Timeout)
        Tqr7Hid::planAnswer(2, 3, 1, Answer::Acknowledge);
    if (ending == FileError)
        QVERIFY(writeFile(fw.mainPath, mainContent));
    QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    const int sentBefore = dataReports().size();

    QVERIFY(run.pressUpdate());
    QVERIFY(!run.complete->isVisible());
    QCOMPARE(run.status->text(), kUpdating);
    QVERIFY(!run.button->isEnabled());
    QCOMPARE(run.target->text(), kTargetNames.first());
    QCOMPARE(run.overall->maximum(), total);
    QCOMPARE(run.overall->value(), 1);
    QCOMPARE(run.sub->maximum(), fw.lines.gpio);
    QCOMPARE(run.sub->value(), 1);
    QCOMPARE(dataReports().size(), sentBefore + 1);
    const Sent first = dataReports().last();
    QCOMPARE(first.target(), 1);
    QCOMPARE(first.line(), 1);
    QCOMPARE(first.count(), fw.lines.gpio);
    QCOMPARE(first.attempt(), 1);
    QCOMPARE(first.text(), fw.image(1).first().toLatin1() + '\r');

    QVERIFY(run.ends(kComplete));
    QCOMPARE(dataReports().size(), sentBefore + total);
    QCOMPARE(received(1), asReceived(fw.gpioPath));
    QCOMPARE(received(3), asReceived(fw.midiPath));
    QCOMPARE(received(4), asReceived(fw.mainPath));
    QCOMPARE(run.overall->value(), total);
    VERIFY_NO_VIOLATIONS();
}

namespace {
enum Moment { BeforeAnyUpdate, AfterTimeoutOnEndRecord, AfterCompletion };
}

void TestSequencer::answersOutsideAnUpdateAreIgnored_data()
{
    QTest::addColumn<int>("moment");

    QTest::newRow("before any update") << int(BeforeAnyUpdate);
    QTest::newRow("after a time-out on an end record") << int(AfterTimeoutOnEndRecord);
    QTest::newRow("after a complete update") << int(AfterCompletion);
}

void TestSequencer::answersOutsideAnUpdateAreIgnored()
{
    QFETCH(int, moment);
    FirmwareFolder fw;
    fw.writeSet(3, 3, 3);
    if (moment == AfterTimeoutOnEndRecord)
        Tqr7Hid::planAnswer(1, 3, 1, Answer::Silence);

    DialogRun run(fw.path());
    QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    if (moment != BeforeAnyUpdate) {
        QVERIFY(run.pressUpdate());
        QVERIFY(run.ends(moment == AfterCompletion ? kComplete : kNoResponse));
        QTRY_VERIFY_WITH_TIMEOUT(run.ready(), kDeadline);
    }

    const int writesBefore = int(Tqr7Hid::writtenReports().size());
    const QString completeText = run.complete->text();
    const bool completeShown = run.complete->isVisible();
    const QString targetText = run.target->text();
    const int sub = run.sub->value(), overall = run.overall->value();
    run.log.clear();

    const double injectedAt = Tqr7Hid::nowMs();
    Tqr7Hid::injectInputReport({0x01});
    Tqr7Hid::injectInputReport({0x02});
    Tqr7Hid::injectInputReport({0x01, 0x01, 0x01});
    Tqr7Hid::injectInputReport({0x02});
    QTRY_VERIFY_WITH_TIMEOUT(readsSince(injectedAt) >= 8, kDeadline);
    QVERIFY(run.runFor(600)); // longer than a response wait that a stray answer might start

    QCOMPARE(int(Tqr7Hid::writtenReports().size()), writesBefore);
    QCOMPARE(run.log.linesExcept({kInhibitFailed}), QStringList());
    QCOMPARE(run.complete->text(), completeText);
    QCOMPARE(run.complete->isVisible(), completeShown);
    QCOMPARE(run.target->text(), targetText);
    QCOMPARE(run.sub->value(), sub);
    QCOMPARE(run.overall->value(), overall);
    QCOMPARE(run.status->text(), kReady);
    QVERIFY(run.button->isEnabled());
    VERIFY_NO_VIOLATIONS();
}

QTEST_MAIN(TestSequencer)
#include "tst_sequencer.moc"
