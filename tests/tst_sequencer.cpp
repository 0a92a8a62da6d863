// An update run against the simulated unit: what goes out and in which order,
// how the unit's answers, its silence and its loss end an update, the checks
// on the firmware files, and what the operator sees meanwhile.

#include "app/dialog.h"
#include "sim/tqr7sim.h"
#include "tests/support/debugcapture.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/probe.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <optional>

using Tqr7Sim::Answer;

class TestSequencer : public QObject
{
    Q_OBJECT

private slots:
    void init();

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

constexpr int kDeadline = 20000;     // anything the dialog does on its own
constexpr double kWaitMs = 500;       // the response wait
constexpr double kEarlyMs = 50;       // a coarse timer may fire up to 5% early
constexpr double kLateMs = 2500;      // a busy machine may deliver it late

const QString kUpdating = QStringLiteral("Updating...");
const QString kReady = QStringLiteral("Ready For Update");
const QString kNotConnected = QStringLiteral("Device not connected");
const QString kComplete = QStringLiteral("Update Complete. Power Cycle Unit!");
const QString kCommsError = QStringLiteral("Operation Failed: Internal Comms Error");
const QString kNoResponse = QStringLiteral("No response received from unit!");
const QString kFileError = QStringLiteral("Operation Failed: Firmware File Error");
const QString kNoTarget = QStringLiteral("---");

const QStringList kSequencerLabels = {
    QStringLiteral("Begin..."),           QStringLiteral("Load File"),
    QStringLiteral("File found to be complete"), QStringLiteral("File Closed"),
    QStringLiteral("Target Changed"),     QStringLiteral("USB Board Timeout"),
    QStringLiteral("Retry Data:"),        QStringLiteral("Firmware File Error:"),
};

// What the operator sees, sampled on every pass of the event loop (1 ms) with
// the simulator's clock, so that short-lived states and the moment an ending
// appears can be checked afterwards.
class Recorder
{
public:
    struct Sample {
        double timeMs;
        QString status, target, complete;
        bool completeShown, buttonEnabled;
        int sub, overall;
    };

    explicit Recorder(const Widgets &w) : w(w)
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
        samples.append({Tqr7Sim::nowMs(), w.status->text(), w.target->text(), w.complete->text(),
                        w.complete->isVisible(), w.button->isEnabled(), w.sub->value(),
                        w.overall->value()});
    }

    const Widgets &w;
    QTimer timer;
};

// The lines as the unit takes them in: each ending in CR.
QByteArray asReceived(const QStringList &lines)
{
    QByteArray text;
    for (const QString &line : lines)
        text += line.toLatin1() + '\r';
    return text;
}

QString quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

QString loadFile(const QString &path)
{
    return QStringLiteral("Load File ") + quoted(path);
}

QString fileErrorLine(const QString &path, const QString &reason)
{
    return QStringLiteral("Firmware File Error: ") + quoted(path) + QLatin1Char(' ') + reason;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void overwrite(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
}

// The reads the dialog made since the given moment.
int readsSince(double timeMs)
{
    int n = 0;
    for (double t : Tqr7Sim::readTimes())
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

void TestSequencer::init()
{
    FirmwareFolder::removeLink();
    Tqr7Sim::reset();
}

void TestSequencer::completeUpdateSendsEveryLineOnce()
{
    const int gpioLines = 5, midiLines = 7, mainLines = 9;
    const int total = gpioLines + 2 * midiLines + mainLines;
    FirmwareFolder fw;
    fw.writeSet(gpioLines, midiLines, mainLines);
    const QStringList gpio = Hex::image(gpioLines, 1);
    const QStringList midi = Hex::image(midiLines, 2);
    const QStringList main = Hex::image(mainLines, 3);

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QVERIFY(w.found());
    QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    Recorder recorder(w);
    log.clear();

    const double clickedAt = Tqr7Sim::nowMs();
    QTest::mouseClick(w.button, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kComplete), kDeadline);

    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), total);
    for (const Sent &s : sent)
        QCOMPARE(s.attempt(), 1);
    QCOMPARE(received(1), asReceived(gpio));
    QCOMPARE(received(2), asReceived(midi));
    QCOMPARE(received(3), asReceived(midi));
    QCOMPARE(received(4), asReceived(main));
    for (int t = 2; t <= 3; ++t) {
        const QVector<Sent> midiReports = reportsFor(t, sent);
        QCOMPARE(midiReports.size(), midiLines);
        QCOMPARE(midiReports.first().line(), 1);
        QCOMPARE(midiReports.first().count(), midiLines);
    }

    // One data line and one end record, byte for byte.
    const Sent line3 = reportsFor(2, sent).at(2);
    QByteArray expected(65, '\0');
    expected[1] = 2;
    expected[3] = 3;
    expected[5] = char(midiLines);
    expected[6] = 44;
    expected[7] = 1;
    expected[8] = 0x03;
    expected.replace(9, 43, midi.at(2).toLatin1());
    expected[52] = 0x0D;
    QCOMPARE(line3.bytes.toHex(' '), expected.toHex(' '));

    const Sent end = reportsFor(4, sent).last();
    expected.fill('\0');
    expected[1] = 4;
    expected[3] = char(mainLines);
    expected[5] = char(mainLines);
    expected[6] = 12;
    expected[7] = 1;
    expected[8] = 0x03;
    expected.replace(9, 11, QByteArray(":00000001FF"));
    expected[20] = 0x0D;
    QCOMPARE(end.bytes.toHex(' '), expected.toHex(' '));

    // The finished display.
    QCOMPARE(w.overall->maximum(), total);
    QCOMPARE(w.overall->value(), total);
    QCOMPARE(w.sub->maximum(), mainLines);
    QCOMPARE(w.sub->value(), mainLines);
    QCOMPARE(w.target->text(), QStringLiteral("Main CPU"));
    QCOMPARE(w.status->text(), kReady);
    QVERIFY(w.button->isEnabled());

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
    QCOMPARE(targetsShown, QStringList({QStringLiteral("Sub GPIO"), QStringLiteral("Sub USB MIDI 1"),
                                        QStringLiteral("Sub USB MIDI 2"), QStringLiteral("Main CPU")}));

    const QStringList expectedLog = {
        QStringLiteral("Begin... 1"), loadFile(fw.gpioPath),
        QStringLiteral("File found to be complete"), QStringLiteral("File Closed"),
        QStringLiteral("Target Changed"), loadFile(fw.midiPath), QStringLiteral("Target Changed... 2"),
        QStringLiteral("File found to be complete"), QStringLiteral("File Closed"),
        QStringLiteral("Target Changed"), loadFile(fw.midiPath), QStringLiteral("Target Changed... 3"),
        QStringLiteral("File found to be complete"), QStringLiteral("File Closed"),
        QStringLiteral("Target Changed"), loadFile(fw.mainPath), QStringLiteral("Target Changed... 4"),
        QStringLiteral("File found to be complete"), QStringLiteral("File Closed"),
        QStringLiteral("Target Changed"), QStringLiteral("File Closed"),
    };
    QCOMPARE(log.linesStartingWith(kSequencerLabels), expectedLog);
}

void TestSequencer::lineNumbersAndCountsTravelInSixteenBits()
{
    const int gpioLines = 300;
    FirmwareFolder fw;
    fw.writeSet(gpioLines, 2, 2);

    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QVERIFY(pressUpdateWhenReady(w));
    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kComplete), 60000);

    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
    const QVector<Sent> gpio = reportsFor(1);
    QCOMPARE(gpio.size(), gpioLines);
    const QByteArray header256 = gpio.at(255).bytes.mid(1, 5);
    QCOMPARE(header256.toHex(' '), QByteArray("01 01 00 01 2c"));
    const QByteArray header300 = gpio.at(299).bytes.mid(1, 5);
    QCOMPARE(header300.toHex(' '), QByteArray("01 01 2c 01 2c"));
    QCOMPARE(w.overall->value(), gpioLines + 6);
}

void TestSequencer::endRecordBoundsEachFile()
{
    FirmwareFolder fw;
    fw.writeSet(4, 1, 6);
    // The main file goes on past its end record; none of that reaches the unit,
    // not even a line that would not fit a report.
    const QStringList main = Hex::image(6, 3);
    const QStringList trailing = {QString::fromLatin1(Hex::record(0, 0x0200, QByteArray(16, 'x'))),
                                  QString(70, QLatin1Char('0')), QString::fromLatin1(Hex::endRecord())};
    fw.write(QFileInfo(fw.mainPath).fileName(), Hex::join(main + trailing));

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QVERIFY(pressUpdateWhenReady(w));
    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kComplete), kDeadline);

    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), 4 + 1 + 1 + 6);
    QCOMPARE(w.overall->maximum(), 12);
    // A MIDI file that is just its end record: one report to each MIDI target.
    for (int t = 2; t <= 3; ++t) {
        const QVector<Sent> midi = reportsFor(t, sent);
        QCOMPARE(midi.size(), 1);
        QCOMPARE(midi.first().line(), 1);
        QCOMPARE(midi.first().count(), 1);
        QCOMPARE(received(t), QByteArray(":00000001FF\r"));
    }
    QCOMPARE(received(4), asReceived(main));
    QCOMPARE(reportsFor(4, sent).last().line(), 6);
    QCOMPARE(log.linesStartingWith({QStringLiteral("File found to be complete")}).size(), 4);
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
    fw.write(QFileInfo(fw.mainPath).fileName(), mainContent);

    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QVERIFY(pressUpdateWhenReady(w));
    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kComplete), kDeadline);

    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
    QByteArray expected = mainContent;
    expected.replace("\r\n", "\n");
    if (!expected.endsWith('\n'))
        expected.append('\n');
    expected.replace('\n', '\r');
    QCOMPARE(received(4), expected);

    const QVector<Sent> main = reportsFor(4);
    QCOMPARE(main.size(), 5);
    for (const Sent &s : main) {
        QCOMPARE(s.bytes.size(), 65);
        QCOMPARE(s.byte(8 + s.length()), 0x0D);
        QCOMPARE(s.bytes.mid(9 + s.length()), QByteArray(56 - s.length(), '\0'));
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
    const int total = 4 + 5 + 5 + 3;
    Tqr7Sim::planAnswer(target, line, 1, Answer::BoardTimeout);
    Tqr7Sim::planAnswer(target, line, 2, Answer::BoardTimeout);

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QVERIFY(pressUpdateWhenReady(w));
    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kComplete), kDeadline);

    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), total + 2);
    int first = -1;
    for (int i = 0; i < sent.size() && first < 0; ++i)
        if (sent[i].target() == target && sent[i].line() == line)
            first = i;
    QVERIFY(first >= 0 && first + 3 < sent.size());
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const Sent &s = sent[first + attempt - 1];
        QCOMPARE(s.attempt(), attempt);
        QByteArray same = s.bytes;
        same[7] = 1;
        QCOMPARE(same.toHex(' '), sent[first].bytes.toHex(' '));
    }
    QCOMPARE(sent[first + 3].attempt(), 1);
    QVERIFY(sent[first + 3].bytes != sent[first].bytes);

    QCOMPARE(log.linesStartingWith({QStringLiteral("USB Board Timeout"), QStringLiteral("Retry Data:")}),
             QStringList({QStringLiteral("USB Board Timeout 1"), QStringLiteral("Retry Data:  2"),
                          QStringLiteral("USB Board Timeout 2"), QStringLiteral("Retry Data:  3")}));
    QCOMPARE(received(4), asReceived(Hex::image(3, 3)));
    QCOMPARE(received(3), asReceived(Hex::image(5, 2)));
}

void TestSequencer::thirdBusTimeoutEndsTheUpdate()
{
    FirmwareFolder fw;
    fw.writeSet(3, 4, 3);
    Tqr7Sim::planAnswer(2, 3, 0, Answer::BoardTimeout);

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QVERIFY(pressUpdateWhenReady(w));
    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kCommsError), kDeadline);
    QVERIFY(w.idleDisplay());
    QVERIFY(w.button->isEnabled());

    // Nothing more goes out and the response wait does not overwrite the text.
    QTest::qWait(1200);
    QVERIFY(w.showing(kCommsError));
    QVERIFY(w.idleDisplay());
    QVERIFY(w.button->isEnabled());
    QCOMPARE(w.status->text(), kReady);
    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), 3 + 3 + 2);
    for (int i = 0; i < 3; ++i) {
        const Sent &s = sent[sent.size() - 3 + i];
        QCOMPARE(s.target(), 2);
        QCOMPARE(s.line(), 3);
        QCOMPARE(s.attempt(), i + 1);
    }
    QCOMPARE(log.linesStartingWith({QStringLiteral("USB Board Timeout")}),
             QStringList({QStringLiteral("USB Board Timeout 1"), QStringLiteral("USB Board Timeout 2"),
                          QStringLiteral("USB Board Timeout 3")}));
    QCOMPARE(log.lines().count(QStringLiteral("File Closed")), 2); // GPIO's, then the ending's
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
    int silentReport = (target == 1 ? 0 : 4) + line;
    if (busTimeoutDelayMs >= 0) {
        Tqr7Sim::planAnswer(target, line, 1, Answer::BoardTimeout, busTimeoutDelayMs);
        Tqr7Sim::planAnswer(target, line, 2, Answer::Silence);
        ++silentReport;
    } else {
        Tqr7Sim::planAnswer(target, line, 1, Answer::Silence);
    }

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    Recorder recorder(w);
    QTest::mouseClick(w.button, Qt::LeftButton);
    // Nothing is logged between the silent report and its ending.
    QTRY_COMPARE_WITH_TIMEOUT(dataReports().size(), silentReport, kDeadline);
    log.clear();

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
    QVERIFY(w.idleDisplay());
    QTRY_VERIFY_WITH_TIMEOUT(w.button->isEnabled(), kDeadline);

    // The ending runs once: a second second passes without another one.
    QTest::qWait(1200);
    QCOMPARE(log.lines(), QStringList({QStringLiteral("File Closed")}));
    QVERIFY(w.showing(kNoResponse));
    QVERIFY(w.idleDisplay());
    QCOMPARE(w.status->text(), kReady);
    QCOMPARE(dataReports().size(), silentReport);
    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
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
    FirmwareFolder fw;
    fw.writeSet(3, 4, 3);
    Tqr7Sim::planAnswer(2, 2, 1, Answer(answer));

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    Recorder recorder(w);
    QTest::mouseClick(w.button, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.firstShowing(kNoResponse), kDeadline);

    const QVector<Sent> sent = dataReports();
    QCOMPARE(sent.size(), 3 + 2);
    const double lostAt = sent.last().timeMs;

    // At once: the link is down.
    const auto down =
        recorder.first([](const Recorder::Sample &s) { return s.status == kNotConnected; }, lostAt);
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
    QVERIFY(w.idleDisplay());
    QCOMPARE(log.linesStartingWith(kSequencerLabels).last(), QStringLiteral("File Closed"));

    if (!staysAttached) {
        QTest::qWait(600);
        QCOMPARE(w.status->text(), kNotConnected);
        QVERIFY(!w.button->isEnabled());
        Tqr7Sim::attach();
    }
    // The unit back: ready again, the result still shown.
    QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    QVERIFY(w.showing(kNoResponse));
    QCOMPARE(dataReports().size(), 3 + 2);
    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));

    // And a new update goes through on the new handle.
    Tqr7Sim::planAnswer(2, 2, 1, Answer::Acknowledge);
    QTest::mouseClick(w.button, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kComplete), kDeadline);
    QCOMPARE(dataReports().size(), 3 + 2 + 3 + 4 + 4 + 3);
    QCOMPARE(received(4), asReceived(Hex::image(3, 3)));
    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
}

namespace {
enum When { BeforeStart, AfterStart, AfterCompleteUpdate };
}

void TestSequencer::filesAreCheckedBeforeAnythingIsSent_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("removed");
    QTest::addColumn<int>("when");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("lineCount"); // of the GPIO file, where accepted
    QTest::addColumn<QString>("reason"); // after the path on the refusal's line

    QStringList noEnd = Hex::image(6, 2);
    noEnd.removeLast();
    QStringList tooLong = Hex::image(5, 3);
    tooLong[1] = widestRecord() + QLatin1Char('0'); // 57 bytes with its line end
    QStringList widest = Hex::image(5, 1);
    widest[0] = widestRecord();                     // 56 bytes with its line end
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

    QTest::newRow("empty") << int(Gpio) << QByteArray("") << false << int(BeforeStart) << false << 0
                           << QStringLiteral("empty file");
    QTest::newRow("no end record") << int(Midi) << Hex::join(noEnd) << false << int(BeforeStart) << false << 0
                                   << QStringLiteral("no end record");
    QTest::newRow("57-byte line")
        << int(Main) << Hex::join(tooLong) << false << int(BeforeStart) << false << 0
        << QStringLiteral("line 2 has 56 characters; a report takes at most 55 and the line end");
    QTest::newRow("65536 lines") << int(Main) << Hex::join(Hex::image(65536, 3)) << false
                                 << int(BeforeStart) << false << 0
                                 << QStringLiteral("more than 65,535 lines");
    QTest::newRow("removed after start-up") << int(Gpio) << QByteArray() << true << int(AfterStart)
                                            << false << 0 << QStringLiteral("cannot be opened: no such file");
    QTest::newRow("end record lost after an update") << int(Main) << Hex::join(noEnd) << false
                                                     << int(AfterCompleteUpdate) << false << 0
                                                     << QStringLiteral("no end record");

    QTest::newRow("one data digit flipped")
        << int(Main) << withThirdLine(3, QStringLiteral(":0400000012345679E8")) << false << int(BeforeStart)
        << false << 0 << QStringLiteral("line 3: checksum 0xE8, the record needs 0xE7");
    QTest::newRow("no colon") << int(Gpio) << withThirdLine(1, record.mid(1)) << false << int(BeforeStart)
                              << false << 0
                              << QStringLiteral("line 3: not an Intel HEX record (no ':' at the start)");
    QTest::newRow("byte count off by one")
        << int(Midi) << withThirdLine(2, QStringLiteral(":0500000012345678E7")) << false << int(BeforeStart)
        << false << 0 << QStringLiteral("line 3: byte count 5 but 4 data bytes");
    QTest::newRow("record type 06")
        << int(Main) << withThirdLine(3, QStringLiteral(":0400000612345678E2")) << false << int(BeforeStart)
        << false << 0 << QStringLiteral("line 3: record type 06, not one of 00 to 05");
    QTest::newRow("odd number of digits")
        << int(Main) << withThirdLine(3, record.chopped(1)) << false << int(BeforeStart) << false << 0
        << QStringLiteral("line 3: not an Intel HEX record (an odd number of hex digits)");
    QTest::newRow("blank line") << int(Gpio) << withThirdLine(1, QString()) << false << int(BeforeStart)
                                << false << 0 << QStringLiteral("line 3: not an Intel HEX record (a blank line)");
    QTest::newRow("trailing space")
        << int(Gpio) << withThirdLine(1, record + QLatin1Char(' ')) << false << int(BeforeStart) << false << 0
        << QStringLiteral("line 3: not an Intel HEX record (' ' at character 20 is not a hex digit)");
    QTest::newRow("damaged after start-up") << int(Midi) << withThirdLine(2, record.left(17) + QStringLiteral("99"))
                                            << false << int(AfterStart) << false << 0
                                            << QStringLiteral("line 3: checksum 0x99, the record needs 0xE8");
    QTest::newRow("1 MiB without a line end")
        << int(Main) << QByteArray(1 << 20, 'F') << false << int(BeforeStart) << false << 0
        << QStringLiteral("line 1 has 1048576 characters; a report takes at most 55 and the line end");

    QTest::newRow("56-byte line") << int(Gpio) << Hex::join(widest) << false << int(BeforeStart) << true << 5
                                  << QString();
    QTest::newRow("65535 lines") << int(Gpio) << Hex::join(Hex::image(65535, 1)) << false
                                 << int(BeforeStart) << true << 65535 << QString();
    QTest::newRow("long line after the end record") << int(Gpio) << Hex::join(endlessTail) << false
                                                    << int(BeforeStart) << true << 4 << QString();
    QTest::newRow("lower-case hex digits") << int(Gpio) << Hex::join(lowerCase) << false << int(BeforeStart)
                                           << true << 5 << QString();
    QTest::newRow("grown after start-up") << int(Gpio) << Hex::join(Hex::image(9, 4)) << false
                                          << int(AfterStart) << true << 9 << QString();
}

void TestSequencer::filesAreCheckedBeforeAnythingIsSent()
{
    QFETCH(int, role);
    QFETCH(QByteArray, content);
    QFETCH(bool, removed);
    QFETCH(int, when);
    QFETCH(bool, accepted);
    QFETCH(int, lineCount);
    QFETCH(QString, reason);

    FirmwareFolder fw;
    fw.writeSet(4, 5, 6);
    const QString path = pathOf(fw, role);
    auto change = [&] {
        if (removed)
            QVERIFY(QFile::remove(path));
        else
            overwrite(path, content);
    };
    if (when == BeforeStart) {
        change();
        if (QTest::currentTestFailed())
            return;
    }

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    if (when == AfterCompleteUpdate) {
        QTest::mouseClick(w.button, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w.showing(kComplete), kDeadline);
        QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    }
    if (when != BeforeStart) {
        change();
        if (QTest::currentTestFailed())
            return;
    }
    const int sentBefore = dataReports().size();
    log.clear();

    QTest::mouseClick(w.button, Qt::LeftButton);

    if (accepted) {
        QTRY_VERIFY_WITH_TIMEOUT(dataReports().size() > sentBefore, kDeadline);
        QVERIFY(!w.complete->isVisible());
        const Sent first = dataReports().at(sentBefore);
        const QByteArray firstLine = content.left(content.indexOf('\n'));
        QCOMPARE(first.target(), 1);
        QCOMPARE(first.line(), 1);
        QCOMPARE(first.count(), lineCount);
        QCOMPARE(first.length(), firstLine.size() + 1);
        QCOMPARE(first.text(), firstLine + '\r');
        // The overall bar measures the files as they are sent; a count that
        // changed since start-up is logged once more.
        const int total = lineCount + 5 + 5 + 6;
        QCOMPARE(w.overall->maximum(), total);
        const int startTotal = (when == BeforeStart ? lineCount : 4) + 5 + 5 + 6;
        QCOMPARE(log.linesStartingWith({QStringLiteral("Total Line Count:")}),
                 total == startTotal ? QStringList() : QStringList(QStringLiteral("Total Line Count: %1").arg(total)));
        Tqr7Sim::unplug();
        QTRY_VERIFY_WITH_TIMEOUT(w.showing(kNoResponse), kDeadline);
        QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
        return;
    }

    QVERIFY(w.showing(kFileError));
    QCOMPARE(log.linesStartingWith(kSequencerLabels), QStringList(fileErrorLine(path, reason)));
    QVERIFY(w.idleDisplay());
    QVERIFY(w.button->isEnabled());
    QCOMPARE(w.status->text(), kReady);
    QTest::qWait(300);
    QCOMPARE(dataReports().size(), sentBefore);
    QVERIFY(w.showing(kFileError));
    QVERIFY(w.button->isEnabled());
}

void TestSequencer::fileChangedDuringTheUpdateEndsIt_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("removed");
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("linesTaken");
    QTest::addColumn<QString>("reason");

    // Files: GPIO 6 lines, MIDI 4, main 7.
    const QStringList main = Hex::image(7, 3);
    QStringList tooLong = main;
    tooLong[2] = widestRecord() + QLatin1Char('0');
    QTest::newRow("main ends before its end record")
        << int(Main) << Hex::join(main.mid(0, 3)) << false << 4 << 3
        << QStringLiteral("no end record (changed since the check)");
    QTest::newRow("main gets a line too long")
        << int(Main) << Hex::join(tooLong) << false << 4 << 2
        << QStringLiteral("line 3 has 56 characters; a report takes at most 55 and the line end"
                          " (changed since the check)");
    QTest::newRow("MIDI removed") << int(Midi) << QByteArray() << true << 2 << 0
                                  << QStringLiteral("cannot be opened: no such file");
}

void TestSequencer::fileChangedDuringTheUpdateEndsIt()
{
    QFETCH(int, role);
    QFETCH(QByteArray, content);
    QFETCH(bool, removed);
    QFETCH(int, target);
    QFETCH(int, linesTaken);
    QFETCH(QString, reason);

    FirmwareFolder fw;
    fw.writeSet(6, 4, 7);
    const QString path = pathOf(fw, role);

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QVERIFY(pressUpdateWhenReady(w));
    QCOMPARE(dataReports().size(), 1);
    // Target 1 is still being sent; the changed file is opened later.
    if (removed)
        QVERIFY(QFile::remove(path));
    else
        overwrite(path, content);

    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kFileError), kDeadline);
    QCOMPARE(log.linesStartingWith({QStringLiteral("Firmware File Error:")}),
             QStringList(fileErrorLine(path, reason)));
    QVERIFY(w.idleDisplay());
    QTRY_VERIFY_WITH_TIMEOUT(w.button->isEnabled(), kDeadline);
    QCOMPARE(w.status->text(), kReady);

    const QVector<Sent> sent = dataReports();
    QCOMPARE(reportsFor(target, sent).size(), linesTaken);
    for (int t = target + 1; t <= 4; ++t)
        QVERIFY(reportsFor(t, sent).isEmpty());
    const QList<QByteArray> taken = content.split('\n').mid(0, linesTaken);
    QByteArray expected;
    for (const QByteArray &line : taken)
        expected += line + '\r';
    QCOMPARE(received(target), expected);

    // Nothing follows the ending.
    QTest::qWait(700);
    QCOMPARE(dataReports().size(), sent.size());
    QVERIFY(w.showing(kFileError));
    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
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

    const int gpioLines = 4, midiLines = 3, mainLines = 5;
    const int total = gpioLines + 2 * midiLines + mainLines;
    FirmwareFolder fw;
    fw.writeSet(gpioLines, midiLines, mainLines);
    const QByteArray mainContent = contentOf(fw.mainPath);
    if (ending == CommsError)
        Tqr7Sim::planAnswer(3, 2, 0, Answer::BoardTimeout);
    if (ending == Timeout)
        Tqr7Sim::planAnswer(2, 3, 1, Answer::Silence);

    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QVERIFY(pressUpdateWhenReady(w));
    if (ending == FileError)
        overwrite(fw.mainPath, mainContent.left(mainContent.indexOf('\n') + 1));
    QTRY_VERIFY_WITH_TIMEOUT(w.showing(text), kDeadline);

    // Take the fault away again.
    if (ending == CommsError)
        Tqr7Sim::planAnswer(3, 2, 0, Answer::Acknowledge);
    if (ending == Timeout)
        Tqr7Sim::planAnswer(2, 3, 1, Answer::Acknowledge);
    if (ending == FileError)
        overwrite(fw.mainPath, mainContent);
    QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    const int sentBefore = dataReports().size();

    QTest::mouseClick(w.button, Qt::LeftButton);
    QVERIFY(!w.complete->isVisible());
    QCOMPARE(w.status->text(), kUpdating);
    QVERIFY(!w.button->isEnabled());
    QCOMPARE(w.target->text(), QStringLiteral("Sub GPIO"));
    QCOMPARE(w.overall->maximum(), total);
    QCOMPARE(w.overall->value(), 1);
    QCOMPARE(w.sub->maximum(), gpioLines);
    QCOMPARE(w.sub->value(), 1);
    QCOMPARE(dataReports().size(), sentBefore + 1);
    const Sent first = dataReports().last();
    QCOMPARE(first.target(), 1);
    QCOMPARE(first.line(), 1);
    QCOMPARE(first.count(), gpioLines);
    QCOMPARE(first.attempt(), 1);
    QCOMPARE(first.text(), Hex::image(gpioLines, 1).first().toLatin1() + '\r');

    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kComplete), kDeadline);
    QCOMPARE(dataReports().size(), sentBefore + total);
    QCOMPARE(received(1), asReceived(Hex::image(gpioLines, 1)));
    QCOMPARE(received(3), asReceived(Hex::image(midiLines, 2)));
    QCOMPARE(received(4), asReceived(Hex::image(mainLines, 3)));
    QCOMPARE(w.overall->value(), total);
    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
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
        Tqr7Sim::planAnswer(1, 3, 1, Answer::Silence);

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    if (moment != BeforeAnyUpdate) {
        QTest::mouseClick(w.button, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w.showing(moment == AfterCompletion ? kComplete : kNoResponse), kDeadline);
        QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    }

    const int writesBefore = int(Tqr7Sim::writtenReports().size());
    const QString completeText = w.complete->text();
    const bool completeShown = w.complete->isVisible();
    const QString targetText = w.target->text();
    const int sub = w.sub->value(), overall = w.overall->value();
    log.clear();

    const double injectedAt = Tqr7Sim::nowMs();
    Tqr7Sim::injectInputReport({0x01});
    Tqr7Sim::injectInputReport({0x02});
    Tqr7Sim::injectInputReport({0x01, 0x01, 0x01});
    Tqr7Sim::injectInputReport({0x02});
    QTRY_VERIFY_WITH_TIMEOUT(readsSince(injectedAt) >= 8, kDeadline);
    QTest::qWait(600); // longer than a response wait that a stray answer might start

    QCOMPARE(int(Tqr7Sim::writtenReports().size()), writesBefore);
    QCOMPARE(log.lines(), QStringList());
    QCOMPARE(w.complete->text(), completeText);
    QCOMPARE(w.complete->isVisible(), completeShown);
    QCOMPARE(w.target->text(), targetText);
    QCOMPARE(w.sub->value(), sub);
    QCOMPARE(w.overall->value(), overall);
    QCOMPARE(w.status->text(), kReady);
    QVERIFY(w.button->isEnabled());
    QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
}

QTEST_MAIN(TestSequencer)
#include "tst_sequencer.moc"
