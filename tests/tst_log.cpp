// SPDX-License-Identifier: MIT
// The log of diagnostic lines as processes leave it: each case runs this
// program again as one or two child processes that make the log as main
// does, before the application object, and write lines or run an update;
// then reads the logs folder. The last runs the shipped executable itself.

#include "app/diagnosticlog.h"
#include "app/dialog.h"
#include "sim/tqr7hid.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/shippedrun.h"
#include "tests/support/texts.h"
#include "tests/support/widgets.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <csignal>
#include <sys/file.h>
#include <unistd.h>
#endif

using namespace Texts;

namespace {

// A child: what main does, then its part. "lines ID N" writes N numbered
// lines; "refusal" presses Update on a firmware set with a damaged record;
// "update PLAN [close]" runs an update with the unit's fault plan to its
// ending, or closes the window during it and answers Yes; "start" only makes
// the application object (the case names its platform). A run name of "-"
// is the one the program chooses.
int child(int argc, char *argv[])
{
    const QString folder = QString::fromLocal8Bit(argv[2]);
    const QString runName = qstrcmp(argv[3], "-") == 0 ? QString() : QString::fromLocal8Bit(argv[3]);
    const QByteArray part = argv[4];
    DiagnosticLog log(folder, runName);
    QApplication app(argc, argv);
    if (part == "lines") {
        const int lines = QByteArray(argv[6]).toInt();
        for (int n = 1; n <= lines; ++n)
            qDebug().noquote() << "child" << argv[5] << "line" << n;
        return 0;
    }
    FirmwareFolder fw;
    fw.writeSet(300, 20, 60);
    if (part == "refusal") {
        QStringList main = Hex::image(3, 3);
        main[1] = QStringLiteral(":0400000012345679E8"); // E7 would make it sum to 0
        fw.write(FirmwareFolder::kMainName, Hex::join(main));
    }
    if (part == "update" && !Tqr7Hid::planFromText(argv[5]))
        return 2;
    Dialog dialog(fw.path());
    dialog.show();
    const DialogWidgets widgets(dialog);
    if (!QTest::qWaitFor([&] { return widgets.button->isEnabled(); }, 20000))
        return 2;
    widgets.button->click();
    if (part == "refusal") {
        qWarning("child: done"); // standard error is there to be read
        return 0;
    }
    if (argc > 6 && qstrcmp(argv[6], "close") == 0) {
        QTest::qWait(200);
        QTimer::singleShot(0, &dialog, [] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                box->button(QMessageBox::Yes)->click();
        });
        dialog.close();
        return 0;
    }
    return QTest::qWaitFor([&] { return widgets.complete->isVisible(); }, 60000) ? 0 : 3;
}

struct Run
{
    int exitCode = -1;
    bool crashed = false;
    QByteArray standardError;
};

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void debugOutputSwitchedOff();
    void twoInstancesAtOnce();
    void neverThroughALink_data();
    void neverThroughALink();
    void aKilledRunLosesNothingOfEarlierRuns();
    void oldRunsGoWholeButNeverARunningOnes();
    void aRunStopsAtItsLimit();
    void eachEndingIsLogged_data();
    void eachEndingIsLogged();
    void aFailedStartIsLogged();
    void realExecutableKeepsTheNewestRuns();

private:
    QProcess *start(const QStringList &part, const QString &runName = QStringLiteral("-"),
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        auto *process = new QProcess(this);
        process->setProcessEnvironment(env);
        process->start(QCoreApplication::applicationFilePath(),
            QStringList {QStringLiteral("--child"), folder, runName} + part);
        return process;
    }
    Run finish(QProcess *process)
    {
        Run run;
        if (!process->waitForFinished(60000)) {
            process->kill();
            process->waitForFinished(5000);
        }
        run.exitCode = process->exitCode();
        run.crashed = process->exitStatus() == QProcess::CrashExit;
        run.standardError = process->readAllStandardError();
        delete process;
        return run;
    }
    Run run(const QStringList &part, const QString &runName = QStringLiteral("-"),
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        return finish(start(part, runName, env));
    }
    // The runs' files, oldest first.
    QStringList runFiles() const
    {
        return QDir(logs).entryList({QStringLiteral("wendrix-*.log")}, QDir::Files, QDir::Name);
    }
    QByteArray newestRun() const
    {
        const QStringList files = runFiles();
        return files.isEmpty() ? QByteArray("<no log>") : contentOf(logs + QLatin1Char('/') + files.last());
    }
    // Earlier runs' files, oldest first: count files of about size bytes.
    QStringList writeEarlierRuns(int count, int size)
    {
        QStringList names;
        for (int n = 1; n <= count; ++n) {
            names << QStringLiteral("wendrix-20010101-0000%1-%2.log").arg(n, 2, 10, QLatin1Char('0')).arg(n);
            QFile file(logs + QLatin1Char('/') + names.last());
            file.open(QIODevice::WriteOnly);
            file.write("=== Wendrix 0.9, 2001-01-01T00:00:00Z, process " + QByteArray::number(n) + " ===\n");
            while (file.size() < size)
                file.write(
                    "earlier run " + QByteArray::number(n) + " ....................................\n");
        }
        return names;
    }

    QTemporaryDir data; // the user's data folder, where the system lets us set it
    QString folder;     // the logs folder's name in it, one per case
    QString logs;       // its path
    int cases = 0;
};

void TestLog::initTestCase()
{
    QVERIFY(data.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
}

void TestLog::init()
{
    folder = QStringLiteral("tst_log-%1-%2").arg(QCoreApplication::applicationPid()).arg(++cases);
    logs = DiagnosticLog::folderPath(folder);
    QVERIFY(!logs.isEmpty());
    QVERIFY(QDir().mkpath(logs));
}

void TestLog::cleanup()
{
    QDir(logs).removeRecursively();
}

void TestLog::debugOutputSwitchedOff()
{
    // A system that switches debug output off: standard error follows the
    // rule, the log still has every line of the program's own.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    const Run r = run({QStringLiteral("refusal")}, QStringLiteral("-"), env);
    QCOMPARE(r.exitCode, 0);

    QVERIFY2(r.standardError.contains("child: done"), r.standardError.constData());
    const QByteArray log = newestRun();
    for (const QString &label : {kFirmwarePath, kFirmwarePresent, kMainFirmware, kTotalLineCount}) {
        QVERIFY2(log.contains('\n' + label.toUtf8() + ' '), qPrintable(label));
        QVERIFY2(!r.standardError.contains(label.toUtf8()), r.standardError.constData());
    }
    QVERIFY2(log.contains(kFirmwareFileError.toUtf8() + " \"")
            && log.contains(" line 2: checksum 0xE8, the record needs 0xE7"),
        log.constData());
}

void TestLog::twoInstancesAtOnce()
{
    // Each writes its own file, whole, under its own header.
    const int lines = 3000;
    QProcess *a = start({QStringLiteral("lines"), QStringLiteral("A"), QString::number(lines)});
    QProcess *b = start({QStringLiteral("lines"), QStringLiteral("B"), QString::number(lines)});
    QVERIFY(a->waitForStarted() && b->waitForStarted());
    const QHash<QByteArray, QByteArray> idOf
        = {{QByteArray::number(a->processId()), "A"}, {QByteArray::number(b->processId()), "B"}};
    QCOMPARE(finish(a).exitCode, 0);
    QCOMPARE(finish(b).exitCode, 0);

    const QStringList files = runFiles();
    QCOMPARE(files.size(), 2);
    const QRegularExpression header(QStringLiteral("^=== Wendrix 1\\.0, [^,]*, process (\\d+) ===\\r?\\n"));
    QSet<QByteArray> ids;
    for (const QString &name : files) {
        const QByteArray log = contentOf(logs + QLatin1Char('/') + name);
        const QRegularExpressionMatch m = header.match(QString::fromUtf8(log));
        QVERIFY2(m.hasMatch(), log.left(200).constData());
        const QByteArray id = idOf.value(m.captured(1).toUtf8());
        QVERIFY2(!id.isEmpty() && name.contains(m.captured(1)), qPrintable(name));
        ids << id;
        // Every line of its own once, in order, and none of the other's (Qt's
        // own warnings may come between).
        QByteArrayList childLines;
        for (const QByteArray &line : log.split('\n'))
            if (line.startsWith("child "))
                childLines << line.trimmed();
        QByteArrayList expected;
        for (int n = 1; n <= lines; ++n)
            expected << "child " + id + " line " + QByteArray::number(n);
        QCOMPARE(childLines, expected);
    }
    QCOMPARE(ids.size(), 2);
}

void TestLog::neverThroughALink_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("a symbolic link") << QStringLiteral("symlink");
    QTest::newRow("a dangling symbolic link") << QStringLiteral("dangling");
    QTest::newRow("another file's hard link") << QStringLiteral("hardlink");
    QTest::newRow("a folder") << QStringLiteral("folder");
}

void TestLog::neverThroughALink()
{
    QFETCH(QString, kind);
#ifdef Q_OS_WIN
    if (kind != QLatin1String("folder"))
        QSKIP("QFile::link makes a shortcut on Windows, a file of its own");
#endif
    // Something stands at the name the run would take: the file a link leads
    // to is another program's, which must stay as it is, and so must a folder.
    const QString runName = QStringLiteral("wendrix-20261208-124455-4711");
    const QString taken = logs + QLatin1Char('/') + runName + QStringLiteral(".log");
    const QString elsewhere = data.filePath(QStringLiteral("elsewhere-") + kind);
    const QByteArray content("a file of its own\n");
    if (kind != QLatin1String("dangling")) {
        QFile target(elsewhere);
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write(content);
    }
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(taken));
#ifndef Q_OS_WIN
    else if (kind == QLatin1String("hardlink"))
        QCOMPARE(::link(qPrintable(elsewhere), qPrintable(taken)), 0);
#endif
    else
        QVERIFY(QFile::link(elsewhere, taken));

    const Run r = run({QStringLiteral("lines"), QStringLiteral("A"), QStringLiteral("5")}, runName);
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(!r.standardError.contains("Log File Error"), r.standardError.constData());
    if (kind == QLatin1String("dangling"))
        QVERIFY(!QFileInfo::exists(elsewhere));
    else if (kind != QLatin1String("folder"))
        QCOMPARE(contentOf(elsewhere), content);
    // The run took the next name.
    const QByteArray log = contentOf(logs + QLatin1Char('/') + runName + QStringLiteral("-2.log"));
    QVERIFY2(log.startsWith("=== Wendrix 1.0, ") && log.contains("child A line 5"), log.constData());
    QFile::remove(elsewhere);
}

void TestLog::aKilledRunLosesNothingOfEarlierRuns()
{
#ifdef Q_OS_WIN
    QSKIP("The kill is a signal's; Windows ends a process at once anyway");
#else
    // Earlier runs fill the folder past its bound, so the run removes the
    // oldest as it starts; it is killed while it writes. Nothing is rewritten
    // in place: the runs that stay are as they were, and the run's own file
    // holds what it wrote.
    const QStringList earlier = writeEarlierRuns(25, 10 * 1024);
    QHash<QString, QByteArray> before;
    for (const QString &name : earlier)
        before.insert(name, contentOf(logs + QLatin1Char('/') + name));
    QProcess *child = start({QStringLiteral("lines"), QStringLiteral("A"), QStringLiteral("1000000")});
    QTRY_VERIFY_WITH_TIMEOUT(runFiles().size() <= 20 && newestRun().size() > 100 * 1024, 60000);
    QCOMPARE(::kill(pid_t(child->processId()), SIGKILL), 0);
    QVERIFY(finish(child).crashed);

    const QStringList files = runFiles();
    QCOMPARE(files.size(), 20);
    QCOMPARE(files.mid(0, 19), earlier.mid(6)); // the newest earlier runs, whole
    for (const QString &name : files.mid(0, 19))
        QCOMPARE(contentOf(logs + QLatin1Char('/') + name), before.value(name));
    const QByteArray log = newestRun();
    QVERIFY2(log.startsWith("=== Wendrix 1.0, ") && log.contains("\nchild A line 1000\n"),
        log.left(200).constData());
#endif
}

void TestLog::oldRunsGoWholeButNeverARunningOnes()
{
    // 30 runs of 60 KiB: the oldest go until 20 runs and 1 MiB are left, but
    // the oldest of all is another instance's, which it still writes.
    const QStringList earlier = writeEarlierRuns(30, 60 * 1024);
    QFile running(logs + QLatin1Char('/') + earlier.first());
    QVERIFY(running.open(QIODevice::ReadWrite));
#ifndef Q_OS_WIN
    QCOMPARE(flock(running.handle(), LOCK_EX | LOCK_NB), 0);
#endif
    const QString oldDesign = logs + QStringLiteral("/wendrix.log"); // a log of the one-file days
    QFile old(oldDesign);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(300 * 1024, 'x'));
    old.close();

    QCOMPARE(run({QStringLiteral("lines"), QStringLiteral("A"), QStringLiteral("5")}).exitCode, 0);
    const QStringList files = runFiles();
    QCOMPARE(files.first(), earlier.first());
    // 1 MiB holds 17 runs of 60 KiB; the running instance's is one of them.
    QCOMPARE(files.mid(1, files.size() - 2), earlier.mid(earlier.size() - (files.size() - 2)));
    qint64 size = 0;
    for (const QString &name : files)
        size += QFileInfo(logs + QLatin1Char('/') + name).size();
    const qint64 kib = 1024, mib = 1024 * kib;
    QVERIFY2(files.size() <= 20 && size <= mib, qPrintable(files.join(QLatin1Char(' '))));
    QVERIFY2(size > mib - 61 * kib, QByteArray::number(size).constData()); // no more went than had to
    QVERIFY(newestRun().contains("child A line 5"));
    QCOMPARE(QFileInfo(oldDesign).size(), 300 * 1024);
}

void TestLog::aRunStopsAtItsLimit()
{
    QCOMPARE(run({QStringLiteral("lines"), QStringLiteral("A"), QStringLiteral("60000")}).exitCode, 0);
    const QByteArray log = newestRun();
    QVERIFY2(log.size() <= 1024 * 1024 && log.size() > 1024 * 1024 - 100,
        QByteArray::number(log.size()).constData());
    QVERIFY2(QRegularExpression(QStringLiteral("\\nchild A line \\d+\\r?\\nLog File Full: [^\\n]*\\r?\\n$"))
                 .match(QString::fromUtf8(log))
                 .hasMatch(),
        log.right(200).constData());
}

void TestLog::eachEndingIsLogged_data()
{
    QTest::addColumn<QString>("plan");
    QTest::addColumn<bool>("close");
    QTest::addColumn<bool>("terminate");
    QTest::addColumn<QString>("last"); // the log's last line, as a pattern

    const auto ended = [](const QString &result) { return QRegularExpression::escape(endedLine(result)); };
    QTest::newRow("complete") << QString() << false << false << ended(kComplete);
    QTest::newRow("no response") << QStringLiteral("4:30:*=silence") << false << false << ended(kNoResponse);
    QTest::newRow("internal comms error")
        << QStringLiteral("2:5:*=timeout") << false << false << ended(kCommsError);
    QTest::newRow("closed with Yes") << QString() << true << false
                                     << kClosedDuringUpdate + QStringLiteral(" target 1, line \\d+ of 300");
    // A shutdown that does not wait for the update ends the program with
    // SIGTERM, which ends it as before, once the line is written.
    QTest::newRow("a forced end") << QString() << false << true
                                  << kSessionEnded + QStringLiteral(" target 1, line \\d+ of 300");
}

void TestLog::eachEndingIsLogged()
{
    QFETCH(QString, plan);
    QFETCH(bool, close);
    QFETCH(bool, terminate);
    QFETCH(QString, last);
#ifdef Q_OS_WIN
    if (terminate)
        QSKIP("Windows ends a session's programs with WM_ENDSESSION, which Qt turns into a quit");
#endif
    QStringList part = {QStringLiteral("update"), plan};
    if (close)
        part << QStringLiteral("close");
    QProcess *child = start(part);
    if (terminate) {
#ifndef Q_OS_WIN
        QTRY_VERIFY_WITH_TIMEOUT(newestRun().contains("\nBegin... 1"), 60000);
        QCOMPARE(::kill(pid_t(child->processId()), SIGTERM), 0);
#endif
    }
    const Run r = finish(child);
    QCOMPARE(r.crashed, terminate);
    if (!terminate)
        QCOMPARE(r.exitCode, 0);
    const QByteArray log = newestRun();
    QVERIFY2(QRegularExpression(QStringLiteral("\\n") + last + QStringLiteral("\\r?\\n$"))
                 .match(QString::fromUtf8(log))
                 .hasMatch(),
        log.right(400).constData());
}

void TestLog::aFailedStartIsLogged()
{
    // A start that ends in the application object, for want of its platform
    // plugin (or of a display): Qt's reason is in the log.
#ifdef Q_OS_WIN
    QSKIP("A program that aborts waits on the system's crash report under Wine");
#endif
    const Run r = run({QStringLiteral("start"), QStringLiteral("-platform"), QStringLiteral("none-such")});
    QVERIFY(r.crashed || r.exitCode != 0);
    const QByteArray log = newestRun();
    QVERIFY2(log.contains("no Qt platform plugin could be initialized"), log.constData());
}

void TestLog::realExecutableKeepsTheNewestRuns()
{
    if (!ShippedRun::possible())
        QSKIP("xvfb-run and xdotool are needed to run the real executable");

    // Runs it twice: with a logs folder full of earlier runs (and the one
    // file of an older version's log), and with a data folder that cannot be
    // made (a file stands in its way).
    QTemporaryDir data;
    QVERIFY(data.isValid());
    const QString logs = data.filePath(QStringLiteral("wendrix"));
    QVERIFY(QDir().mkpath(logs));
    for (int run = 1; run <= 25; ++run) {
        QFile earlier(
            logs + QStringLiteral("/wendrix-20010101-0000%1-1.log").arg(run, 2, 10, QLatin1Char('0')));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("=== Wendrix 0.9, 2001-01-01T00:00:00Z, process 1 ===\nearlier run "
            + QByteArray::number(run) + "\n");
    }
    QFile oldLog(logs + QStringLiteral("/wendrix.log"));
    QVERIFY(oldLog.open(QIODevice::WriteOnly));
    oldLog.write("=== Wendrix 0.9, 2001-01-01T00:00:00Z ===\n");
    oldLog.close();
    QFile blocker(data.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const ShippedRun full(QStringLiteral(WENDRIX_EXECUTABLE), data.path());
    QVERIFY(full.finished);
    QCOMPARE(full.exitCode, 0);
    const ShippedRun unwritable(QStringLiteral(WENDRIX_EXECUTABLE), blocker.fileName());
    QVERIFY(unwritable.finished);
    QCOMPARE(unwritable.exitCode, 0);

    // The oldest runs went, whole, to keep 20; this run's lines follow its own
    // first line in a file of its own and are the ones standard error had.
    const QStringList runs = QDir(logs).entryList({QStringLiteral("wendrix-*.log")}, QDir::Files, QDir::Name);
    QCOMPARE(runs.size(), 20);
    QCOMPARE(runs.first(), QStringLiteral("wendrix-20010101-000007-1.log"));
    QCOMPARE(QFileInfo(oldLog).size(), qint64(42)); // an older version's log is left as it is
    QFile log(logs + QLatin1Char('/') + runs.last());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray kept = log.readAll();
    const qsizetype body = kept.indexOf('\n') + 1;
    QVERIFY(QRegularExpression(
        QStringLiteral(
            "^=== Wendrix 1\\.0, \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\S*, process \\d+ ===\n$"))
                .match(QString::fromUtf8(kept.left(body)))
                .hasMatch());
    const QByteArray lines = kept.mid(body);
    // Qt's own lines while the application object is made may come first.
    QVERIFY(lines.startsWith("Firmware Path \"") || lines.contains("\nFirmware Path \""));
    QVERIFY2(full.standardError.contains(lines), full.standardError.constData());
    QVERIFY(!full.standardError.contains("Log File Error"));

    // A folder that cannot be made costs one line and nothing else.
    QCOMPARE(unwritable.standardError.count("Log File Error: \""), 1);
    QVERIFY(unwritable.standardError.contains("\nTotal Line Count: 3000\n"));
}

int main(int argc, char *argv[])
{
    if (argc > 4 && qstrcmp(argv[1], "--child") == 0)
        return child(argc, argv);
    QApplication app(argc, argv);
    TestLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_log.moc"
