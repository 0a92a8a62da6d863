// The firmware image set: which files the scan takes, the version it shows,
// the diagnostic lines it writes, and how lines are counted.

#include "app/dialog.h"
#include "sim/tqr7sim.h"
#include "tests/support/debugcapture.h"
#include "tests/support/firmwarefolder.h"

#include <QDir>
#include <QLabel>
#include <QtTest>

class TestImageSet : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void completeSetShowsVersionAndLogsEachPath();
    void whichFilesTheScanTakes_data();
    void whichFilesTheScanTakes();
    void incompleteSetShowsTheWarning_data();
    void incompleteSetShowsTheWarning();
    void lineCount_data();
    void lineCount();
};

namespace {

const QString kMissing = QStringLiteral("!! One or more firmware files not found !!");
const QString kGpio = QStringLiteral("TQR7_GPIO_0-3-1_151102.hex");
const QString kMidi = QStringLiteral("TQR7_MIDI_0-2-0_151102.hex");
const QString kMain = QStringLiteral("TQR7_MAIN_2-1-4_160315.hex");

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString version(Dialog &dialog)
{
    return dialog.findChild<QLabel *>(QStringLiteral("labelVersion"))->text();
}

// The value logged after a label, e.g. the path after "Main Firmware:".
QString logged(const DebugCapture &log, const QString &label)
{
    const QStringList lines = log.linesStartingWith({label + QLatin1Char(' ')});
    return lines.isEmpty() ? QStringLiteral("<no line>") : lines.last().mid(label.size() + 1);
}

} // namespace

void TestImageSet::init()
{
    FirmwareFolder::removeLink();
    Tqr7Sim::reset();
    Tqr7Sim::unplug();
}

void TestImageSet::completeSetShowsVersionAndLogsEachPath()
{
    FirmwareFolder firmware;
    firmware.writeSet(100, 200, 300);
    DebugCapture log;
    Dialog dialog;

    QCOMPARE(version(dialog), QStringLiteral("TQR-7 v2.1.4 160315"));
    const QString dir = firmware.path();
    const QStringList expected = {
        QStringLiteral("Firmware Path ") + quoted(dir),
        QStringLiteral("Firmware Present: true"),
        QStringLiteral("Main Firmware: ") + quoted(dir + QLatin1Char('/') + kMain),
        QStringLiteral("GPIO Firmware: ") + quoted(dir + QLatin1Char('/') + kGpio),
        QStringLiteral("MIDI Firmware: ") + quoted(dir + QLatin1Char('/') + kMidi),
        QStringLiteral("Main Version: \"2-1-4\""),
        QStringLiteral("Main Date: \"160315\""),
        // The MIDI file goes to two targets and counts twice: 100 + 2 * 200 + 300.
        QStringLiteral("Total Line Count: 800"),
    };
    QCOMPARE(log.lines(), expected);
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
        << QStringList{QStringLiteral("tqr7_main_9-9-9_991231.hex")} << plain << plain
        << QStringLiteral("TQR-7 v2.1.4 160315") << QStringList{}
        << QStringList{QStringLiteral("2-1-4"), QStringLiteral("160315")};
    QTest::newRow("hidden file is not listed")
        << QStringList{QStringLiteral(".TQR7_MAIN_9-9-9_991231.hex")} << plain << plain
        << QStringLiteral("TQR-7 v2.1.4 160315") << QStringList{}
        << QStringList{QStringLiteral("2-1-4"), QStringLiteral("160315")};
    QTest::newRow("later of two main files wins whole")
        << QStringList{QStringLiteral("TQR7_MAIN_1-0-9_150101.hex")}
        << QStringLiteral("TQR7_MAIN_1-1-0_150202.hex") << QStringLiteral("TQR7_MAIN_1-1-0_150202.hex")
        << QStringLiteral("TQR-7 v1.1.0 150202") << QStringList{QStringLiteral("TQR7_MAIN_1-0-9_150101.hex")}
        << QStringList{QStringLiteral("1-1-0"), QStringLiteral("150202")};
    // ".HEY" sorts after ".hex" only when case is ignored.
    QTest::newRow("case is ignored in the order")
        << QStringList{QStringLiteral("TQR7_MAIN_1-0-9_150101.hex")}
        << QStringLiteral("TQR7_MAIN_1-0-9_150101.HEY") << QStringLiteral("TQR7_MAIN_1-0-9_150101.HEY")
        << QStringLiteral("TQR-7 v1.0.9 150101") << QStringList{QStringLiteral("TQR7_MAIN_1-0-9_150101.hex")}
        << QStringList{QStringLiteral("1-0-9"), QStringLiteral("150101")};
    // The rule holds even where a technician would expect otherwise; the
    // passed-over lines are how the technician finds out.
    QTest::newRow("an editor backup sorts after the file it copies")
        << QStringList{QStringLiteral("TQR7_MAIN_2-1-4_160315.hex~")} << plain
        << QStringLiteral("TQR7_MAIN_2-1-4_160315.hex~") << QStringLiteral("TQR-7 v2.1.4 160315")
        << QStringList{plain}
        << QStringList{QStringLiteral("2-1-4"), QStringLiteral("160315")};
    QTest::newRow("2-1-9 sorts after 2-1-10")
        << QStringList{QStringLiteral("TQR7_MAIN_2-1-10_160401.hex")}
        << QStringLiteral("TQR7_MAIN_2-1-9_160301.hex") << QStringLiteral("TQR7_MAIN_2-1-9_160301.hex")
        << QStringLiteral("TQR-7 v2.1.9 160301")
        << QStringList{QStringLiteral("TQR7_MAIN_2-1-10_160401.hex")}
        << QStringList{QStringLiteral("2-1-9"), QStringLiteral("160301")};
    QTest::newRow("second GPIO and MIDI files")
        << QStringList{QStringLiteral("TQR7_GPIO_0-3-2_160101.hex"),
                       QStringLiteral("TQR7_MIDI_0-1-9_150101.hex")}
        << plain << plain << QStringLiteral("TQR-7 v2.1.4 160315")
        << QStringList{QStringLiteral("TQR7_GPIO_0-3-1_151102.hex"),
                       QStringLiteral("TQR7_MIDI_0-1-9_150101.hex")}
        << QStringList{QStringLiteral("2-1-4"), QStringLiteral("160315")};
    QTest::newRow("name exactly the prefix")
        << QStringList{} << QStringLiteral("TQR7_MAIN") << QStringLiteral("TQR7_MAIN")
        << QStringLiteral("TQR-7 v.. ") << QStringList{}
        << QStringList{QStringLiteral(""), QStringLiteral("")};
    QTest::newRow("underscores as separators")
        << QStringList{} << QStringLiteral("TQR7_MAIN_2_1_4_160315.hex")
        << QStringLiteral("TQR7_MAIN_2_1_4_160315.hex") << QStringLiteral("TQR-7 v2.1.4 160315")
        << QStringList{}
        << QStringList{QStringLiteral("2_1_4"), QStringLiteral("160315")};
    QTest::newRow("dots as separators")
        << QStringList{} << QStringLiteral("TQR7_MAIN.2.1.4.160315") << QStringLiteral("TQR7_MAIN.2.1.4.160315")
        << QStringLiteral("TQR-7 v2.1.4 160315") << QStringList{}
        << QStringList{QStringLiteral("2.1.4"), QStringLiteral("160315")};
    QTest::newRow("short name gives what it has")
        << QStringList{} << QStringLiteral("TQR7_MAIN_3-0") << QStringLiteral("TQR7_MAIN_3-0")
        << QStringLiteral("TQR-7 v3.0. ") << QStringList{}
        << QStringList{QStringLiteral("3-0"), QStringLiteral("")};
    // Version numbers of any length, when the name has the usual shape.
    QTest::newRow("two-digit number")
        << QStringList{} << QStringLiteral("TQR7_MAIN_2-1-10_160401.hex")
        << QStringLiteral("TQR7_MAIN_2-1-10_160401.hex") << QStringLiteral("TQR-7 v2.1.10 160401")
        << QStringList{} << QStringList{QStringLiteral("2-1-10"), QStringLiteral("160401")};
    QTest::newRow("numbers of any length")
        << QStringList{} << QStringLiteral("TQR7_MAIN_12-0-345_170102_beta.hex")
        << QStringLiteral("TQR7_MAIN_12-0-345_170102_beta.hex") << QStringLiteral("TQR-7 v12.0.345 170102")
        << QStringList{} << QStringList{QStringLiteral("12-0-345"), QStringLiteral("170102")};
    QTest::newRow("two-digit number between other separators")
        << QStringList{} << QStringLiteral("TQR7_MAIN_2_1_10_160401.hex")
        << QStringLiteral("TQR7_MAIN_2_1_10_160401.hex") << QStringLiteral("TQR-7 v2.1.1 _16040")
        << QStringList{} << QStringList{QStringLiteral("2_1_1"), QStringLiteral("_16040")};
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

    DebugCapture log;
    Dialog dialog;
    QCOMPARE(logged(log, QStringLiteral("Firmware Present:")), QStringLiteral("true"));
    QCOMPARE(logged(log, QStringLiteral("Main Firmware:")),
             quoted(firmware.path() + QLatin1Char('/') + expectedMain));
    QCOMPARE(version(dialog), expectedVersion);
    QCOMPARE(logged(log, QStringLiteral("Main Version:")), quoted(fields.at(0)));
    QCOMPARE(logged(log, QStringLiteral("Main Date:")), quoted(fields.at(1)));

    // The scan's seven lines come first, then one line per file passed over.
    QStringList expected;
    for (const QString &name : passedOver)
        expected << QStringLiteral("Firmware Passed Over: ")
                        + quoted(firmware.path() + QLatin1Char('/') + name);
    const QStringList lines = log.lines();
    QVERIFY(lines.size() > 7 + expected.size());
    QVERIFY(lines.at(6).startsWith(QLatin1String("Main Date: ")));
    QCOMPARE(lines.mid(7, expected.size()), expected);
    QVERIFY(lines.at(7 + expected.size()).startsWith(QLatin1String("Total Line Count: ")));
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
    QScopedPointer<FirmwareFolder> firmware;
    if (folder == QLatin1String("file")) {
        FirmwareFolder::removeLink();
        QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/firmware"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(Hex::join(Hex::image(3)));
    } else if (folder != QLatin1String("none")) {
        firmware.reset(new FirmwareFolder);
        if (folder.contains(QLatin1String("GPIO")) && !folder.contains(QLatin1String("dirGPIO")))
            firmware->writeImage(kGpio, 3);
        if (folder.contains(QLatin1String("dirGPIO")))
            QDir(firmware->path()).mkdir(kGpio);
        if (folder.contains(QLatin1String("MIDI")))
            firmware->writeImage(kMidi, 3);
        if (folder.contains(QLatin1String("MAIN")))
            firmware->writeImage(kMain, 3);
    }

    DebugCapture log;
    {
        Tqr7Sim::attach();
        Dialog dialog;
        dialog.show();
        QCOMPARE(version(dialog), kMissing);
        QCOMPARE(logged(log, QStringLiteral("Firmware Present:")), QStringLiteral("false"));
        QVERIFY(log.linesStartingWith({QStringLiteral("Total Line Count:")}).isEmpty());
        // The paths that were found are still logged; the others are empty.
        const QString main = logged(log, QStringLiteral("Main Firmware:"));
        QCOMPARE(main == QLatin1String("\"\""), !folder.contains(QLatin1String("MAIN")));
        QCOMPARE(logged(log, QStringLiteral("GPIO Firmware:")) == QLatin1String("\"\""),
                 !folder.contains(QLatin1String("GPIO")) || folder.contains(QLatin1String("dirGPIO")));

        // A ready unit does not make an incomplete set updatable.
        QTRY_COMPARE_WITH_TIMEOUT(dialog.findChild<QLabel *>(QStringLiteral("labelStatus"))->text(),
                                  QStringLiteral("Ready For Update"), 10000);
        QVERIFY(!dialog.findChild<QWidget *>(QStringLiteral("buttonUpdate"))->isEnabled());
        QCOMPARE(version(dialog), kMissing);
    }
    FirmwareFolder::removeLink();
}

void TestImageSet::lineCount_data()
{
    // The file under test is the GPIO file; the MIDI and main files add 1 + 1 + 1.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("expected");

    const QStringList ten = Hex::image(11).mid(0, 10);
    const QByteArray end = Hex::endRecord();
    QTest::newRow("only an end record") << end + "\n" << 1;
    QTest::newRow("lines after the end record are not counted")
        << Hex::join(ten + QStringList{QString::fromLatin1(end)} + Hex::image(4).mid(0, 3)) << 11;
    QTest::newRow("CR LF line ends") << Hex::join(Hex::image(25), "\r\n") << 25;
    QTest::newRow("LF line ends") << Hex::join(Hex::image(25), "\n") << 25;
    QTest::newRow("no end record, no final line end") << Hex::join(ten).chopped(1) << 10;
    QTest::newRow("no end record, final line end") << Hex::join(ten) << 10;
    QTest::newRow("empty file") << QByteArray() << 0;
    QTest::newRow("blank and short lines are lines") << QByteArray("\n:0\n\n") + end + "\n" << 4;
    QTest::newRow("end record without a line end") << Hex::join(ten) + end << 11;
    QTest::newRow("record type at index 8 alone decides")
        << QByteArray(":10000010AB\n:00000021FF\n") + end + "\n" << 2;
}

void TestImageSet::lineCount()
{
    QFETCH(QByteArray, content);
    QFETCH(int, expected);

    FirmwareFolder firmware;
    firmware.write(kGpio, content);
    firmware.writeImage(kMidi, 1);
    firmware.writeImage(kMain, 1);
    DebugCapture log;
    Dialog dialog;
    QCOMPARE(log.linesStartingWith({QStringLiteral("Total Line Count:")}),
             QStringList{QStringLiteral("Total Line Count: ") + QString::number(expected + 3)});
}

QTEST_MAIN(TestImageSet)
#include "tst_imageset.moc"
