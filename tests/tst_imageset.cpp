// SPDX-License-Identifier: MIT
// The firmware image set: which files the scan takes, the version it shows,
// the diagnostic lines it writes, and how lines are counted.

#include "imageset/firmwarecheck.h"
#include "sim/tqr7hid.h"
#include "tests/support/dialogrun.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/freshunit.h"
#include "tests/support/texts.h"

#include <QDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

using namespace Texts;

class TestImageSet : public FreshUnitTest
{
    Q_OBJECT

private slots:
    // No unit, unless a case plugs one in.
    void init()
    {
        FreshUnitTest::init();
        Tqr7Hid::unplug();
    }

    void completeSetShowsVersionAndLogsEachPath();
    void whichFilesTheScanTakes_data();
    void whichFilesTheScanTakes();
    void incompleteSetShowsTheWarning_data();
    void incompleteSetShowsTheWarning();
    void lineCount_data();
    void lineCount();
    void checkAndBoundedCount_data();
    void checkAndBoundedCount();
    void notARegularFileIsRefusedAtOnce_data();
    void notARegularFileIsRefusedAtOnce();
};

namespace {

// The value logged after a label, e.g. the path after "Main Firmware:".
QString logged(const DebugCapture &log, const QString &label)
{
    const QStringList lines = log.linesStartingWith({label + QLatin1Char(' ')});
    return lines.isEmpty() ? QStringLiteral("<no line>") : lines.last().mid(label.size() + 1);
}

} // namespace

void TestImageSet::completeSetShowsVersionAndLogsEachPath()
{
    FirmwareFolder firmware;
    firmware.writeSet(100, 200, 300);
    DialogRun run(firmware.path());

    QCOMPARE(run.version->text(), kSampleVersion);
    const QString dir = firmware.path();
    const QStringList expected = {
        logLine(kFirmwarePath, dir),
        kFirmwarePresent + QStringLiteral(" true"),
        logLine(kMainFirmware, dir + QLatin1Char('/') + FirmwareFolder::kMainName),
        logLine(kGpioFirmware, dir + QLatin1Char('/') + FirmwareFolder::kGpioName),
        logLine(kMidiFirmware, dir + QLatin1Char('/') + FirmwareFolder::kMidiName),
        logLine(kMainVersion, QStringLiteral("2-1-4")),
        logLine(kMainDate, QStringLiteral("160315")),
        // The MIDI file goes to two targets and counts twice.
        logLine(kTotalLineCount, firmware.lines.total()),
    };
    QCOMPARE(run.log.lines(), expected);
}

void TestImageSet::whichFilesTheScanTakes_data()
{
    QTest::addColumn<QStringList>("extraFiles"); // written after the complete set
    QTest::addColumn<QString>("mainName");       // the main file of the set; empty: none
    QTest::addColumn<QString>("expectedMain");   // file name the scan takes
    QTest::addColumn<QString>("expectedVersion");
    QTest::addColumn<QStringList>("passedOver"); // files named after the seven lines, in order
    QTest::addColumn<QStringList>("fields");     // logged after "Main Version:" and "Main Date:"

    const QString plain = QStringLiteral("TQR7_MAIN_2-1-4_160315.hex");
    QTest::newRow("lower-case prefix is not a main file")
        << QStringList {QStringLiteral("tqr7_main_9-9-9_991231.hex")} << plain << plain << kSampleVersion
        << QStringList {} << QStringList {QStringLiteral("2-1-4"), QStringLiteral("160315")};
    QTest::newRow("hidden file is not listed")
        << QStringList {QStringLiteral(".TQR7_MAIN_9-9-9_991231.hex")} << plain << plain << kSampleVersion
        << QStringList {} << QStringList {QStringLiteral("2-1-4"), QStringLiteral("160315")};
    QTest::newRow("later of two main files wins whole")
        << QStringList {QStringLiteral("TQR7_MAIN_1-0-9_150101.hex")}
        << QStringLiteral("TQR7_MAIN_1-1-0_150202.hex") << QStringLiteral("TQR7_MAIN_1-1-0_150202.hex")
        << QStringLiteral("TQR-7 v1.1.0 150202") << QStringList {QStringLiteral("TQR7_MAIN_1-0-9_150101.hex")}
        << QStringList {QStringLiteral("1-1-0"), QStringLiteral("150202")};
    // ".HEY" sorts after ".hex" only when case is ignored.
    QTest::newRow("case is ignored in the order")
        << QStringList {QStringLiteral("TQR7_MAIN_1-0-9_150101.hex")}
        << QStringLiteral("TQR7_MAIN_1-0-9_150101.HEY") << QStringLiteral("TQR7_MAIN_1-0-9_150101.HEY")
        << QStringLiteral("TQR-7 v1.0.9 150101") << QStringList {QStringLiteral("TQR7_MAIN_1-0-9_150101.hex")}
        << QStringList {QStringLiteral("1-0-9"), QStringLiteral("150101")};
    // The rule holds even where a technician would expect otherwise; the
    // passed-over lines are how the technician finds out.
    QTest::newRow("an editor backup sorts after the file it copies")
        << QStringList {QStringLiteral("TQR7_MAIN_2-1-4_160315.hex~")} << plain
        << QStringLiteral("TQR7_MAIN_2-1-4_160315.hex~") << kSampleVersion << QStringList {plain}
        << QStringList {QStringLiteral("2-1-4"), QStringLiteral("160315")};
    QTest::newRow("2-1-9 sorts after 2-1-10")
        << QStringList {QStringLiteral("TQR7_MAIN_2-1-10_160401.hex")}
        << QStringLiteral("TQR7_MAIN_2-1-9_160301.hex") << QStringLiteral("TQR7_MAIN_2-1-9_160301.hex")
        << QStringLiteral("TQR-7 v2.1.9 160301")
        << QStringList {QStringLiteral("TQR7_MAIN_2-1-10_160401.hex")}
        << QStringList {QStringLiteral("2-1-9"), QStringLiteral("160301")};
    QTest::newRow("second GPIO and MIDI files")
        << QStringList {QStringLiteral("TQR7_GPIO_0-3-2_160101.hex"),
               QStringLiteral("TQR7_MIDI_0-1-9_150101.hex")}
        << plain << plain << kSampleVersion
        << QStringList {FirmwareFolder::kGpioName, QStringLiteral("TQR7_MIDI_0-1-9_150101.hex")}
        << QStringList {QStringLiteral("2-1-4"), QStringLiteral("160315")};
    QTest::newRow("name exactly the prefix")
        << QStringList {} << QStringLiteral("TQR7_MAIN") << QStringLiteral("TQR7_MAIN")
        << QStringLiteral("TQR-7 v.. ") << QStringList {}
        << QStringList {QStringLiteral(""), QStringLiteral("")};
    QTest::newRow("underscores as separators")
        << QStringList {} << QStringLiteral("TQR7_MAIN_2_1_4_160315.hex")
        << QStringLiteral("TQR7_MAIN_2_1_4_160315.hex") << QStringLiteral("TQR-7 v2.1.4 160315")
        << QStringList {} << QStringList {QStringLiteral("2_1_4"), QStringLiteral("160315")};
    QTest::newRow("dots as separators")
        << QStringList {} << QStringLiteral("TQR7_MAIN.2.1.4.160315")
        << QStringLiteral("TQR7_MAIN.2.1.4.160315") << QStringLiteral("TQR-7 v2.1.4 160315") << QStringList {}
        << QStringList {QStringLiteral("2.1.4"), QStringLiteral("160315")};
    QTest::newRow("short name gives what it has")
        << QStringList {} << QStringLiteral("TQR7_MAIN_3-0") << QStringLiteral("TQR7_MAIN_3-0")
        << QStringLiteral("TQR-7 v3.0. ") << QStringList {}
        << QStringList {QStringLiteral("3-0"), QStringLiteral("")};
    // Version numbers of any length, when the name has the usual shape.
    QTest::newRow("two-digit number")
        << QStringList {} << QStringLiteral("TQR7_MAIN_2-1-10_160401.hex")
        << QStringLiteral("TQR7_MAIN_2-1-10_160401.hex") << QStringLiteral("TQR-7 v2.1.10 160401")
        << QStringList {} << QStringList {QStringLiteral("2-1-10"), QStringLiteral("160401")};
    QTest::newRow("numbers of any length")
        << QStringList {} << QStringLiteral("TQR7_MAIN_12-0-345_170102_beta.hex")
        << QStringLiteral("TQR7_MAIN_12-0-345_170102_beta.hex") << QStringLiteral("TQR-7 v12.0.345 170102")
        << QStringList {} << QStringList {QStringLiteral("12-0-345"), QStringLiteral("170102")};
    QTest::newRow("two-digit number between other separators")
        << QStringList {} << QStringLiteral("TQR7_MAIN_2_1_10_160401.hex")
        << QStringLiteral("TQR7_MAIN_2_1_10_160401.hex") << QStringLiteral("TQR-7 v2.1.1 _16040")
        << QStringList {} << QStringList {QStringLiteral("2_1_1"), QStringLiteral("_16040")};
}

void TestImageSet::whichFilesTheScanTakes()
{
    QFETCH(QStringList, extraFiles);
    QFETCH(QString, mainName);
    QFETCH(QString, expectedMain);
    QFETCH(QString, expectedVersion);
    QFETCH(QStringList, passedOver);
    QFETCH(QStringList, fields);

    FirmwareFolder firmware;
    firmware.writeSet(5, 5, 5, mainName);
    for (const QString &name : extraFiles)
        firmware.writeImage(name, 7);
    // A directory named like a main file is never taken.
    QVERIFY(QDir(firmware.path()).mkdir(QStringLiteral("TQR7_MAIN_9-9-9_991231")));

    DialogRun run(firmware.path());
    QCOMPARE(logged(run.log, kFirmwarePresent), QStringLiteral("true"));
    QCOMPARE(logged(run.log, kMainFirmware), quoted(firmware.path() + QLatin1Char('/') + expectedMain));
    QCOMPARE(run.version->text(), expectedVersion);
    QCOMPARE(logged(run.log, kMainVersion), quoted(fields.at(0)));
    QCOMPARE(logged(run.log, kMainDate), quoted(fields.at(1)));

    // The scan's seven lines come first, then one line per file passed over.
    QStringList expected;
    for (const QString &name : passedOver)
        expected << logLine(kPassedOver, firmware.path() + QLatin1Char('/') + name);
    const QStringList lines = run.log.lines();
    QVERIFY(lines.size() > 7 + expected.size());
    QVERIFY(lines.at(6).startsWith(kMainDate + QLatin1Char(' ')));
    QCOMPARE(lines.mid(7, expected.size()), expected);
    QVERIFY(lines.at(7 + expected.size()).startsWith(kTotalLineCount + QLatin1Char(' ')));
}

void TestImageSet::incompleteSetShowsTheWarning_data()
{
    QTest::addColumn<QString>("folder"); // none, empty, file, or the kinds present
    QTest::newRow("no firmware folder") << QStringLiteral("none");
    QTest::newRow("firmware is a file") << QStringLiteral("file");
    QTest::newRow("empty folder") << QStringLiteral("");
    QTest::newRow("main missing") << QStringLiteral("GPIO MIDI");
    QTest::newRow("GPIO missing") << QStringLiteral("MIDI MAIN");
    QTest::newRow("MIDI missing") << QStringLiteral("GPIO MAIN");
    QTest::newRow("only a subdirectory named like GPIO") << QStringLiteral("MIDI MAIN dirGPIO");
}

void TestImageSet::incompleteSetShowsTheWarning()
{
    QFETCH(QString, folder);
    FirmwareFolder firmware;
    if (folder == QLatin1String("none") || folder == QLatin1String("file")) {
        QVERIFY(QDir().rmdir(firmware.path()));
        if (folder == QLatin1String("file"))
            QVERIFY(writeFile(firmware.path(), Hex::join(Hex::image(3))));
    } else {
        if (folder.contains(QLatin1String("GPIO")) && !folder.contains(QLatin1String("dirGPIO")))
            firmware.writeImage(FirmwareFolder::kGpioName, 3);
        if (folder.contains(QLatin1String("dirGPIO")))
            QDir(firmware.path()).mkdir(FirmwareFolder::kGpioName);
        if (folder.contains(QLatin1String("MIDI")))
            firmware.writeImage(FirmwareFolder::kMidiName, 3);
        if (folder.contains(QLatin1String("MAIN")))
            firmware.writeImage(FirmwareFolder::kMainName, 3);
    }

    Tqr7Hid::attach();
    DialogRun run(firmware.path());
    QCOMPARE(run.version->text(), kFirmwareMissing);
    QCOMPARE(logged(run.log, kFirmwarePresent), QStringLiteral("false"));
    QVERIFY(run.log.linesStartingWith({kTotalLineCount}).isEmpty());
    // The paths that were found are still logged; the others are empty.
    const QString main = logged(run.log, kMainFirmware);
    QCOMPARE(main == QLatin1String("\"\""), !folder.contains(QLatin1String("MAIN")));
    QCOMPARE(logged(run.log, kGpioFirmware) == QLatin1String("\"\""),
        !folder.contains(QLatin1String("GPIO")) || folder.contains(QLatin1String("dirGPIO")));

    // A ready unit does not make an incomplete set updatable.
    QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kReady, 10000);
    QVERIFY(!run.button->isEnabled());
    QCOMPARE(run.version->text(), kFirmwareMissing);
}

void TestImageSet::lineCount_data()
{
    // The file under test is the GPIO file; the MIDI and main files are one line each.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("expected");

    const QStringList ten = Hex::image(11).mid(0, 10);
    const QByteArray end = Hex::endRecord();
    QTest::newRow("only an end record") << end + "\n" << 1;
    QTest::newRow("lines after the end record are not counted")
        << Hex::join(ten + QStringList {QString::fromLatin1(end)} + Hex::image(4).mid(0, 3)) << 11;
    QTest::newRow("CR LF line ends") << Hex::join(Hex::image(25), "\r\n") << 25;
    QTest::newRow("LF line ends") << Hex::join(Hex::image(25), "\n") << 25;
    QTest::newRow("no end record, no final line end") << Hex::join(ten).chopped(1) << 10;
    QTest::newRow("no end record, final line end") << Hex::join(ten) << 10;
    QTest::newRow("empty file") << QByteArray() << 0;
    QTest::newRow("blank and short lines are lines") << QByteArray("\n:0\n\n") + end + "\n" << 4;
    QTest::newRow("end record without a line end") << Hex::join(ten) + end << 11;
    QTest::newRow("record type at index 8 alone decides") << QByteArray(":10000010AB\n:00000021FF\n") + end
            + "\n" << 2;
}

void TestImageSet::lineCount()
{
    QFETCH(QByteArray, content);
    QFETCH(int, expected);

    FirmwareFolder firmware;
    firmware.writeSet(1, 1, 1);
    firmware.write(FirmwareFolder::kGpioName, content);
    SetLines counted = firmware.lines;
    counted.gpio = expected;
    DialogRun run(firmware.path());
    QCOMPARE(run.log.linesStartingWith({kTotalLineCount}),
        QStringList {logLine(kTotalLineCount, counted.total())});
}

void TestImageSet::checkAndBoundedCount_data()
{
    // The check and the count on one file, without a dialog.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("count");       // at start-up
    QTest::addColumn<QString>("fault");   // of the check when Update is pressed
    QTest::addColumn<QByteArray>("kept"); // the lines checked, each as it is sent
    QTest::addColumn<QString>("note");    // on the lines after the end record

    const QStringList five = Hex::image(5, 1);
    QStringList wide = Hex::image(4, 2);
    wide[1] = QString::fromLatin1(Hex::record(0, 0, QByteArray(26, 'x'))); // 63 characters
    const QString tooWide
        = QStringLiteral("line 2 has 63 characters; a report takes at most 55 and the line end");
    QTest::newRow("CR LF line ends are kept as LF")
        << Hex::join(five, "\r\n") << 5 << QString() << Hex::join(five) << QString();
    QTest::newRow("a last line without a line end is kept without")
        << Hex::join(five).chopped(1) << 5 << QString() << Hex::join(five).chopped(1) << QString();
    QTest::newRow("lines after the end record are not kept")
        << Hex::join(five + Hex::image(3, 2)) << 5 << QString() << Hex::join(five)
        << QStringLiteral("3 lines after the end record are not sent");
    QTest::newRow("63 characters and CR LF: refused for its length")
        << Hex::join(wide, "\r\n") << 2 << tooWide << QByteArray() << QString();
    QTest::newRow("63 characters and LF: refused for its length")
        << Hex::join(wide) << 2 << tooWide << QByteArray() << QString();
    QTest::newRow("the count stops at 65,536 lines")
        << Hex::join(Hex::image(70000, 3).mid(0, 69999)) << 65536 << QStringLiteral("more than 65,535 lines")
        << QByteArray() << QString();
    QTest::newRow("1 MiB of bare line ends")
        << QByteArray(1 << 20, '\n') << 65536
        << QStringLiteral("line 1: not an Intel HEX record (a blank line)") << QByteArray() << QString();
    QTest::newRow("8 MiB without a line end: the count reads one report's worth")
        << QByteArray(8 << 20, 'F') << 1
        << QStringLiteral("line 1 has 8388608 characters; a report takes at most 55 and the line end")
        << QByteArray() << QString();

    // What an editor does not show is named, not the length it adds to a line.
    QStringList widest = five;
    widest[0] = QString::fromLatin1(Hex::record(0, 0, QByteArray(22, 'x'))); // 55 characters
    QTest::newRow("a byte-order mark before the widest record")
        << "\xEF\xBB\xBF" + Hex::join(widest) << 1
        << QStringLiteral("line 1 starts with a UTF-8 byte-order mark (EF BB BF), which no record has:"
                          " save the file without it")
        << QByteArray() << QString();
    QTest::newRow("a last line that ends in CR alone")
        << Hex::join(five).chopped(1) + '\r' << 5
        << QStringLiteral(
               "line 5 ends in a bare CR (0x0D) at character 12: a line end of CR only, not LF or CR LF")
        << QByteArray() << QString();

    // Lines after the end record are counted, and the count is bounded.
    QTest::newRow("one line after the end record, without a line end")
        << Hex::join(five) + Hex::image(3, 2).first().toLatin1() << 5 << QString() << Hex::join(five)
        << QStringLiteral("1 line after the end record is not sent");
    QTest::newRow("the count after the end record stops at 65,536 lines")
        << Hex::join(five) + QByteArray(70000, '\n') << 5 << QString() << Hex::join(five)
        << QStringLiteral("more than 65,535 lines after the end record are not sent");
}

void TestImageSet::checkAndBoundedCount()
{
    QFETCH(QByteArray, content);
    QFETCH(int, count);
    QFETCH(QString, fault);
    QFETCH(QByteArray, kept);
    QFETCH(QString, note);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.hex"));
    QVERIFY(writeFile(path, content));

    QCOMPARE(FirmwareCheck::countLines(path), count);
    const CheckedImage image = FirmwareCheck::checkFile(path);
    QCOMPARE(image.fault, fault);
    if (!fault.isEmpty())
        return;
    QCOMPARE(image.lineCount(), count);
    QByteArray lines;
    for (int n = 1; n <= image.lineCount(); ++n)
        lines += image.line(n);
    QCOMPARE(lines, kept);
    QVERIFY(image.line(count + 1).isEmpty());
    QCOMPARE(image.afterEndNote(), note);
    QVERIFY(image.linesAfterEnd <= FirmwareCheck::kCountLimit);
}

void TestImageSet::notARegularFileIsRefusedAtOnce_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("named pipe") << QStringLiteral("a named pipe");
    QTest::newRow("device") << QStringLiteral("a device");
}

void TestImageSet::notARegularFileIsRefusedAtOnce()
{
#ifdef Q_OS_WIN
    QSKIP("no named pipes or devices among the files of a folder on Windows");
#else
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.hex"));
    if (kind == QLatin1String("a named pipe"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));

    // Returning at all is most of it: a pipe opened to be read waits for a
    // writer, and none comes.
    QCOMPARE(FirmwareCheck::countLines(path), 0);
    QCOMPARE(FirmwareCheck::checkFile(path).fault, QStringLiteral("is not a regular file (%1)").arg(kind));
#endif
}

QTEST_MAIN(TestImageSet)
#include "tst_imageset.moc"
