// Whatever the files or the unit do, the update ends in a clear outcome and
// the link and the button recover: a matrix of bad firmware sets and a matrix
// of unit faults at each phase of the link and of an update.

#include "app/dialog.h"
#include "sim/tqr7sim.h"
#include "tests/support/debugcapture.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/probe.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <functional>

using Tqr7Sim::Answer;

namespace {

constexpr int kDeadline = 20000;
const QString kReady = QStringLiteral("Ready For Update");
const QString kNotInUpdateMode = QStringLiteral("Device Not in Firmware Update Mode!!");
const QString kComplete = QStringLiteral("Update Complete. Power Cycle Unit!");
const QString kCommsError = QStringLiteral("Operation Failed: Internal Comms Error");
const QString kNoResponse = QStringLiteral("No response received from unit!");
const QString kFileError = QStringLiteral("Operation Failed: Firmware File Error");

const QString kGpio = QStringLiteral("TQR7_GPIO_0-3-1_151102.hex");
const QString kMidi = QStringLiteral("TQR7_MIDI_0-2-0_151102.hex");
const QString kMain = QStringLiteral("TQR7_MAIN_2-1-4_160315.hex");

// Changes the firmware folder before the dialog is built (before) or between
// start-up and the press of Update (after). Returns the file that should be
// refused, or an empty string when the set should be sent; the refusal names
// the reason after the file.
struct BadInput {
    std::function<QString(FirmwareFolder &)> before;
    std::function<void(FirmwareFolder &)> after;
    QString reason;
};

QByteArray withLineEnds(const QStringList &lines, const QByteArray &end)
{
    return Hex::join(lines, end);
}

// The set's text as each target should take it in, lines ending in CR.
QByteArray expectedText(const QString &path)
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
        if (line.size() > 8 && line.at(8) == '1')
            break;
    }
    return text;
}

bool updateCompletes(Widgets &w)
{
    return pressUpdateWhenReady(w) && QTest::qWaitFor([&] { return w.showing(kComplete) && w.ready(); }, kDeadline);
}

enum Phase { BeforeAnswer, Idle, FirstLine, MiddleLine, EndRecord, LastEndRecord };
enum Fault { Unplug, WriteFails, Silence, ThreeBusTimeouts, StrayAck, UnknownCodes };

} // namespace

Q_DECLARE_METATYPE(BadInput)

class TestHardening : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void badFirmwareSet_data();
    void badFirmwareSet();
    void unitFault_data();
    void unitFault();
};

void TestHardening::init()
{
    FirmwareFolder::removeLink();
    Tqr7Sim::reset();
}

void TestHardening::badFirmwareSet_data()
{
    QTest::addColumn<BadInput>("input");

    const auto set = [](FirmwareFolder &fw) { fw.writeSet(3, 4, 3); };
    QTest::newRow("binary garbage") << BadInput{[&](FirmwareFolder &fw) {
        set(fw);
        QByteArray junk;
        for (int i = 0; i < 300; ++i)
            junk.append(char((i * 73 + 11) % 256));
        return fw.write(kMidi, junk);
    }, {}, QStringLiteral("a control byte (0x0B) in line 1 at character 1")};
    QTest::newRow("NUL byte inside a line") << BadInput{[&](FirmwareFolder &fw) {
        set(fw);
        QByteArray text = withLineEnds(Hex::image(3, 1), "\n");
        text[5] = '\0';
        return fw.write(kGpio, text);
    }, {}, QStringLiteral("a control byte (0x00) in line 1 at character 6")};
    QTest::newRow("CR inside a line") << BadInput{[&](FirmwareFolder &fw) {
        set(fw);
        QByteArray text = withLineEnds(Hex::image(3, 1), "\r\n");
        text.insert(20, '\r');
        return fw.write(kGpio, text);
    }, {}, QStringLiteral("a control byte (0x0D) in line 1 at character 21")};
    QTest::newRow("CR-only line ends") << BadInput{[&](FirmwareFolder &fw) {
        set(fw);
        return fw.write(kMain, withLineEnds(Hex::image(3, 3), "\r"));
    }, {}, QStringLiteral("a control byte (0x0D) in line 1 at character 44")};
    QTest::newRow("one data digit flipped") << BadInput{[&](FirmwareFolder &fw) {
        set(fw);
        QStringList lines = Hex::image(3, 3);
        lines[1] = QStringLiteral(":0400000012345679E8"); // E7 would make it sum to 0
        return fw.write(kMain, withLineEnds(lines, "\r\n"));
    }, {}, QStringLiteral("line 2: checksum 0xE8, the record needs 0xE7")};
    QTest::newRow("file becomes a directory after start-up") << BadInput{
        [&](FirmwareFolder &fw) { set(fw); return fw.midiPath; },
        [](FirmwareFolder &fw) {
            QFile::remove(fw.midiPath);
            QDir().mkdir(fw.midiPath);
        }, QStringLiteral("cannot be opened: it is a folder")};
    QTest::newRow("symbolic link to a valid file (sent)") << BadInput{[&](FirmwareFolder &fw) {
        set(fw);
        const QString elsewhere = fw.path() + QStringLiteral("/../gpio-elsewhere.hex");
        QFile::remove(elsewhere);
        QFile::rename(fw.gpioPath, elsewhere);
        QFile::link(elsewhere, fw.gpioPath);
        return QString();
    }, {}, {}};
    QTest::newRow("lower-case hex digits (sent)") << BadInput{[&](FirmwareFolder &fw) {
        set(fw);
        fw.write(kMidi, Hex::join(Hex::image(4, 2)).toLower());
        return QString();
    }, {}, {}};
    QTest::newRow("non-ASCII file name (sent)") << BadInput{[](FirmwareFolder &fw) {
        fw.writeSet(3, 4, 3, QStringLiteral("TQR7_MAIN_2-1-4_160315_\u00c4\u00df\u4e2d.hex"));
        return QString();
    }, {}, {}};
    QTest::newRow("very long file name (sent)") << BadInput{[](FirmwareFolder &fw) {
        fw.writeSet(3, 4, 3, QStringLiteral("TQR7_MAIN_2-1-4_160315_") + QString(220, QLatin1Char('x')));
        return QString();
    }, {}, {}};
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

    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("labelVersion"))->text(),
             QStringLiteral("TQR-7 v2.1.4 160315"));
    QTRY_VERIFY_WITH_TIMEOUT(w.ready(), kDeadline);
    if (input.after)
        input.after(fw);

    if (refused.isEmpty()) {
        QVERIFY(updateCompletes(w));
        QCOMPARE(received(1), expectedText(fw.gpioPath));
        QCOMPARE(received(3), expectedText(fw.midiPath));
        QCOMPARE(received(4), expectedText(fw.mainPath));
        QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));
        return;
    }
    QTest::mouseClick(w.button, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(w.showing(kFileError) && w.ready(), kDeadline);
    QVERIFY(dataReports().isEmpty());
    QVERIFY(w.idleDisplay());
    QCOMPARE(log.linesStartingWith({QStringLiteral("Firmware File Error:")}),
             QStringList{QStringLiteral("Firmware File Error: \"%1\" %2").arg(refused, input.reason)});
}

void TestHardening::unitFault_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("result"); // what labelComplete shows; empty: nothing
    QTest::addColumn<bool>("linkDropped");

    const char *phases[] = {"before the answer", "idle and ready", "first line of a target",
                            "middle line", "end record", "last end record"};
    const char *faults[] = {"unplug", "failed write", "silence", "three bus time-outs",
                            "stray acknowledgement", "burst of unknown codes"};
    for (int phase = BeforeAnswer; phase <= LastEndRecord; ++phase) {
        for (int fault = Unplug; fault <= UnknownCodes; ++fault) {
            QString result;
            const bool inFlight = phase >= FirstLine || (phase == Idle && fault == WriteFails);
            if (inFlight) {
                // Only a stray answer is taken as the acknowledgement it looks like.
                switch (fault) {
                case ThreeBusTimeouts: result = kCommsError; break;
                case StrayAck:
                case UnknownCodes: result = kComplete; break;
                default: result = kNoResponse; break;
                }
            }
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
    fw.writeSet(3, 4, 3);
    // Where the fault strikes: the data report of this target and line.
    int target = 0, line = 0;
    switch (phase) {
    case Idle: target = 1, line = 1; break; // the first report of the next update
    case FirstLine: target = 2, line = 1; break;
    case MiddleLine: target = 2, line = 2; break;
    case EndRecord: target = 2, line = 4; break;
    case LastEndRecord: target = 4, line = 3; break;
    }
    // While no report is in flight only a lost unit changes anything.
    const bool inFlight = phase >= FirstLine || (phase == Idle && fault == WriteFails);
    const auto strayReports = [&] {
        if (fault == StrayAck)
            Tqr7Sim::injectInputReport({0x01});
        if (fault == ThreeBusTimeouts && !inFlight)
            for (int i = 0; i < 3; ++i)
                Tqr7Sim::injectInputReport({0x02});
        if (fault == UnknownCodes)
            for (std::uint8_t code : {0x00, 0x03, 0x7F, 0xFF, 0x55})
                Tqr7Sim::injectInputReport({code, 0x01});
    };

    if (phase == BeforeAnswer)
        Tqr7Sim::setUpdateMode(false);
    DebugCapture log;
    Dialog dialog;
    dialog.show();
    Widgets w(dialog);
    QTRY_COMPARE_WITH_TIMEOUT(w.status->text(), phase == BeforeAnswer ? kNotInUpdateMode : kReady,
                              kDeadline);
    const size_t opensBefore = Tqr7Sim::openAttemptTimes().size();

    if (!inFlight) {
        if (fault == Unplug)
            Tqr7Sim::unplug();
        else if (fault == WriteFails)
            Tqr7Sim::failQueryWrites(1);
        else
            strayReports();
        const size_t reads = Tqr7Sim::readTimes().size();
        QTRY_VERIFY_WITH_TIMEOUT(Tqr7Sim::readTimes().size() > reads + 20
                                     || Tqr7Sim::openAttemptTimes().size() > opensBefore + 1,
                                 kDeadline);
        if (!linkDropped)
            QCOMPARE(w.status->text(), phase == BeforeAnswer ? kNotInUpdateMode : kReady);
    } else {
        switch (fault) {
        case Unplug: Tqr7Sim::planAnswer(target, line, 1, Answer::Unplug); break;
        case WriteFails: Tqr7Sim::planAnswer(target, line, 1, Answer::WriteFails); break;
        case Silence: Tqr7Sim::planAnswer(target, line, 1, Answer::Silence); break;
        case ThreeBusTimeouts: Tqr7Sim::planAnswer(target, line, 0, Answer::BoardTimeout); break;
        default: // the stray reports arrive while the unit still works on the line
            Tqr7Sim::planAnswer(target, line, 1, Answer::Acknowledge, 300);
            break;
        }
        QTest::mouseClick(w.button, Qt::LeftButton);
        if (fault == StrayAck || fault == UnknownCodes) {
            QTRY_VERIFY_WITH_TIMEOUT(!reportsFor(target).isEmpty() && reportsFor(target).last().line() == line,
                                     kDeadline);
            strayReports();
        }
        QTRY_VERIFY_WITH_TIMEOUT(w.showing(result), kDeadline);
        if (result != kComplete)
            QVERIFY(w.idleDisplay());
        // Never a fourth transmission of a line.
        for (const Sent &s : dataReports())
            QVERIFY(s.attempt() >= 1 && s.attempt() <= 3);
    }
    if (result.isEmpty())
        QVERIFY(w.complete->isHidden());
    if (linkDropped)
        QTRY_VERIFY_WITH_TIMEOUT(Tqr7Sim::openAttemptTimes().size() > opensBefore, kDeadline);
    // One line says which call failed and why, in hidapi's words. A unit
    // pulled out fails the next read, or a query written first.
    const QStringList lost = log.linesStartingWith({QStringLiteral("Link Lost:")});
    if (!linkDropped) {
        QVERIFY2(lost.isEmpty(), qPrintable(lost.join(QLatin1Char('\n'))));
    } else {
        QCOMPARE(lost.size(), 1);
        const QString expected = fault == Unplug ? QStringLiteral("failed: Device is gone")
                                                 : QStringLiteral("Link Lost: hid_write failed: Simulated write failure");
        QVERIFY2(lost.first().endsWith(expected), qPrintable(lost.first()));
    }
    if (fault != StrayAck)
        QVERIFY2(Tqr7Sim::violations().empty(), qPrintable(violations()));

    // The link and the button recover, and the next update goes through whole.
    Tqr7Sim::attach();
    Tqr7Sim::setUpdateMode(true);
    Tqr7Sim::planAnswer(0, 0, 0, Answer::Acknowledge);
    QTRY_COMPARE_WITH_TIMEOUT(w.status->text(), kReady, kDeadline);
    QVERIFY(updateCompletes(w));
    QCOMPARE(received(2), expectedText(fw.midiPath));
    QCOMPARE(received(4), expectedText(fw.mainPath));
}

QTEST_MAIN(TestHardening)
#include "tst_hardening.moc"
