// SPDX-License-Identifier: MIT
// The log of diagnostic lines as processes leave it: each case runs this
// program again as one or two child processes that make the log as main
// does, before the application object, and write lines; then reads the file.
// The last runs the shipped executable itself.

#include "app/diagnosticlog.h"
#include "app/dialog.h"
#include "sim/tqr7hid.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/shippedrun.h"
#include "tests/support/texts.h"
#include "tests/support/widgets.h"

#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <csignal>
#include <unistd.h>
#endif

using namespace Texts;

namespace {

// A child: what main does, then its part. "lines ID N" writes N numbered
// lines; "refusal" presses Update on a firmware set with a damaged record;
// "update PLAN" runs an update with the unit's fault plan to its ending;
// "start" only makes the application object (the case names its platform).
int child(int argc, char *argv[])
{
    const QString folder = QString::fromLocal8Bit(argv[2]);
    const QByteArray part = argv[3];
    DiagnosticLog log(folder);
    QApplication app(argc, argv);
    if (part == "lines") {
        const int lines = QByteArray(argv[5]).toInt();
        for (int n = 1; n <= lines; ++n)
            qDebug().noquote() << "child" << argv[4] << "line" << n;
        return 0;
    }
    if (part == "refusal") {
        FirmwareFolder fw;
        fw.writeSet(3, 3, 3);
        QStringList main = Hex::image(3, 3);
        main[1] = QStringLiteral(":0400000012345679E8"); // E7 would make it sum to 0
        fw.write(FirmwareFolder::kMainName, Hex::join(main));
        Dialog dialog(fw.path());
        QPushButton *button = DialogWidgets(dialog).button;
        if (!QTest::qWaitFor([&] { return button->isEnabled(); }, 20000))
            return 2;
        button->click();
        qWarning("child: done"); // standard error is there to be read
        return 0;
    }
    if (part == "update") {
        Tqr7Hid::reset();
        if (!Tqr7Hid::planFromText(argv[4]))
            return 2;
        FirmwareFolder fw;
        fw.writeSet(300, 20, 60);
        Dialog dialog(fw.path());
        const DialogWidgets widgets(dialog);
        if (!QTest::qWaitFor([&] { return widgets.button->isEnabled(); }, 20000))
            return 2;
        widgets.button->click();
        return QTest::qWaitFor([&] { return widgets.complete->isVisible(); }, 60000) ? 0 : 3;
    }
    return 0;
}

struct Run
{
    int exitCode = -1;
    bool crashed = false;
    QByteArray standardError;
};

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
    void aHeaderStartsALine();
    void aRunEndingWhileTheLogIsBusy();
    void aFailedStartIsLogged();
    void aForcedEndDuringAnUpdateIsLogged();
    void realExecutableTrimsTheLog();

private:
    QStringList childArguments(const QStringList &part) const
    {
        return QStringList {QStringLiteral("--child"), folder} + part;
    }
    QProcess *start(
        const QStringList &part, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        auto *process = new QProcess(this);
        process->setProcessEnvironment(env);
        process->start(QCoreApplication::applicationFilePath(), childArguments(part));
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
    Run run(
        const QStringList &part, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        return finish(start(part, env));
    }
    QByteArray logged() const
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no log>");
    }
    void writeLog(const QByteArray &content)
    {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    QTemporaryDir data; // the user's data folder, where the system lets us set it
    QString folder;     // the log's folder in it, one per case
    QString path;
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
    path = DiagnosticLog::filePath(folder);
    QVERIFY(!path.isEmpty());
}

void TestLog::cleanup()
{
    QDir(QFileInfo(path).path()).removeRecursively();
}

void TestLog::debugOutputSwitchedOff()
{
    // A system that switches debug output off: standard error follows the
    // rule, the log still has every line of the program's own.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    const Run r = run({QStringLiteral("refusal")}, env);
    QCOMPARE(r.exitCode, 0);

    QVERIFY2(r.standardError.contains("child: done"), r.standardError.constData());
    const QByteArray log = logged();
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
    // Earlier runs fill the log nearly to its limit, so both instances trim it
    // while the other writes.
    QByteArray earlier;
    for (int run = 1; run <= 9; ++run) {
        earlier += "=== Wendrix 0.9, 2001-01-01T00:00:0" + QByteArray::number(run) + "Z ===\n";
        for (int line = 0; line < 3700; ++line)
            earlier += "earlier run " + QByteArray::number(run) + ", line " + QByteArray::number(line)
                + " ....\n";
    }
    writeLog(earlier);
    const int lines = 3000;
    QProcess *a = start({QStringLiteral("lines"), QStringLiteral("A"), QString::number(lines)});
    QProcess *b = start({QStringLiteral("lines"), QStringLiteral("B"), QString::number(lines)});
    QVERIFY(a->waitForStarted() && b->waitForStarted());
    const QByteArray pidA = QByteArray::number(a->processId()), pidB = QByteArray::number(b->processId());
    QCOMPARE(finish(a).exitCode, 0);
    QCOMPARE(finish(b).exitCode, 0);

    const QByteArray log = logged();
    QVERIFY2(log.size() <= 1024 * 1024, QByteArray::number(log.size()).constData());
    QVERIFY(!log.contains('\0'));
    QVERIFY(!log.contains("earlier run 1,")); // trimmed while both wrote
    // Every line of both once, each under a header of its own process.
    QHash<QByteArray, int> seen;
    QByteArray process;
    const QRegularExpression header(QStringLiteral("^=== Wendrix [^,]*, [^,]*, process (\\d+) ===\\r?$"));
    for (QByteArray line : log.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QRegularExpressionMatch m = header.match(QString::fromUtf8(line));
        if (m.hasMatch()) {
            process = m.captured(1).toUtf8();
            continue;
        }
        if (!line.startsWith("child "))
            continue;
        ++seen[line];
        QVERIFY2(process == (line.startsWith("child A") ? pidA : pidB), line.constData());
    }
    for (const char *id : {"A", "B"})
        for (int n = 1; n <= lines; ++n) {
            const QByteArray line = QByteArray("child ") + id + " line " + QByteArray::number(n);
            QVERIFY2(
                seen.value(line) == 1, (line + " seen " + QByteArray::number(seen.value(line))).constData());
        }
}

void TestLog::neverThroughALink_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why");
    QTest::newRow("a symbolic link") << QStringLiteral("symlink") << QStringLiteral("is a symbolic link");
    QTest::newRow("a second hard link") << QStringLiteral("hardlink") << QStringLiteral("has 2 hard links");
    QTest::newRow("a folder") << QStringLiteral("folder") << QStringLiteral("is not a regular file");
}

void TestLog::neverThroughALink()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);
#ifdef Q_OS_WIN
    if (kind != QLatin1String("folder"))
        QSKIP("QFile::link makes a shortcut on Windows, a file of its own");
#endif
    // The file the link leads to: another program's, which must stay as it is.
    const QString elsewhere = data.filePath(QStringLiteral("elsewhere-") + kind);
    const QByteArray content("a file of its own\n");
    QFile target(elsewhere);
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.write(content);
    target.close();
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    if (kind == QLatin1String("symlink"))
        QVERIFY(QFile::link(elsewhere, path));
#ifndef Q_OS_WIN
    else if (kind == QLatin1String("hardlink"))
        QCOMPARE(::link(qPrintable(elsewhere), qPrintable(path)), 0);
#endif
    else
        QVERIFY(QDir().mkpath(path));

    const Run r = run({QStringLiteral("lines"), QStringLiteral("A"), QStringLiteral("5")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), content);
    const QByteArray error
        = "Log File Error: \"" + QFile::encodeName(path) + "\" " + why.toUtf8() + "; the log is not written";
    QCOMPARE(r.standardError.count("Log File Error"), 1);
    QVERIFY2(r.standardError.contains(error), r.standardError.constData());
    QVERIFY2(r.standardError.contains("child A line 5"), r.standardError.constData());
    QFile::remove(path);
    QDir().rmdir(path);
}

void TestLog::aHeaderStartsALine()
{
    // A run cut off mid-line, by a full disk or a crash.
    writeLog("=== Wendrix 0.9, 2001-01-01T00:00:00Z ===\nthe last line, cut off mid-li");
    QCOMPARE(run({QStringLiteral("lines"), QStringLiteral("A"), QStringLiteral("1")}).exitCode, 0);
    const QByteArray log = logged();
    QVERIFY2(QRegularExpression(QStringLiteral("cut off mid-li\\r?\\n=== Wendrix 1\\.0, "))
                 .match(QString::fromUtf8(log))
                 .hasMatch(),
        log.constData());
    QVERIFY(log.contains("child A line 1"));
}

void TestLog::aRunEndingWhileTheLogIsBusy()
{
    // Another instance holds the log as this run ends, longer than a lock's
    // own retries last: the run's last lines wait for their turn.
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QLockFile busy(path + QStringLiteral(".lock"));
    QVERIFY(busy.tryLock(0));
    QProcess *a = start({QStringLiteral("lines"), QStringLiteral("A"), QStringLiteral("5")});
    QByteArray standardError;
    QTRY_VERIFY_WITH_TIMEOUT((standardError += a->readAllStandardError()).contains("child A line 5"), 60000);
    QTest::qWait(1500); // how long the other instance keeps the lock, not a race
    busy.unlock();
    const Run r = finish(a);
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(!r.standardError.contains("Log File Error"), r.standardError.constData());
    QVERIFY2(
        logged().contains("child A line 1") && logged().contains("child A line 5"), logged().constData());
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
    const QByteArray log = logged();
    QVERIFY2(log.contains("no Qt platform plugin could be initialized"), log.constData());
}

void TestLog::aForcedEndDuringAnUpdateIsLogged()
{
#ifdef Q_OS_WIN
    QSKIP("Windows ends a session's programs with WM_ENDSESSION, which Qt turns into a quit");
#else
    // A shutdown that does not wait for the update ends the program with
    // SIGTERM: where the update stood is in the log, and the program ends as
    // SIGTERM ends it.
    QProcess *child = start({QStringLiteral("update"), QString()});
    QTRY_VERIFY_WITH_TIMEOUT(logged().contains("\nBegin... 1"), 60000);
    QCOMPARE(::kill(pid_t(child->processId()), SIGTERM), 0);
    const Run r = finish(child);
    QVERIFY(r.crashed);
    const QByteArray log = logged();
    QVERIFY2(QRegularExpression(QStringLiteral("\\n") + kSessionEnded
                 + QStringLiteral(" target 1, line \\d+ of 300\\r?\\n$"))
                 .match(QString::fromUtf8(log))
                 .hasMatch(),
        log.constData());
#endif
}

void TestLog::realExecutableTrimsTheLog()
{
    if (!ShippedRun::possible())
        QSKIP("xvfb-run and xdotool are needed to run the real executable");

    // Runs it twice: with a log from earlier runs that has no room for another,
    // and with a data folder that cannot be made (a file stands in its way).
    QTemporaryDir data;
    QVERIFY(data.isValid());
    QVERIFY(QDir(data.path()).mkpath(QStringLiteral("wendrix")));
    QFile log(data.filePath(QStringLiteral("wendrix/wendrix.log")));
    QVERIFY(log.open(QIODevice::WriteOnly));
    for (int run = 1; run <= 3; ++run) {
        log.write(QByteArrayLiteral("=== Wendrix 0.9, 2001-01-01T00:00:00Z ===\n"));
        for (int line = 0; line < 10000; ++line)
            log.write("earlier run " + QByteArray::number(run) + ", line " + QByteArray::number(line)
                + " ............\n");
    }
    log.close();
    QFile blocker(data.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const ShippedRun full(QStringLiteral(WENDRIX_EXECUTABLE), data.path());
    QVERIFY(full.finished);
    QCOMPARE(full.exitCode, 0);
    const ShippedRun unwritable(QStringLiteral(WENDRIX_EXECUTABLE), blocker.fileName());
    QVERIFY(unwritable.finished);
    QCOMPARE(unwritable.exitCode, 0);

    // Whole runs went, oldest first, to make room; this run's lines follow its
    // own first line and are the ones standard error had.
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray kept = log.readAll();
    QVERIFY2(kept.size() <= 1024 * 1024, QByteArray::number(kept.size()).constData());
    QVERIFY(kept.startsWith("=== Wendrix 0.9, "));
    QVERIFY(!kept.contains("earlier run 1,"));
    QVERIFY(kept.contains("earlier run 3, line 9999 ............\n"));
    const qsizetype header = kept.indexOf("\n=== Wendrix 1.0, ") + 1;
    QVERIFY(header > 0);
    const qsizetype body = kept.indexOf('\n', header) + 1;
    QVERIFY(QRegularExpression(
        QStringLiteral(
            "^=== Wendrix 1\\.0, \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\S*, process \\d+ ===\n$"))
                .match(QString::fromUtf8(kept.mid(header, body - header)))
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
    if (argc > 3 && qstrcmp(argv[1], "--child") == 0)
        return child(argc, argv);
    QApplication app(argc, argv);
    TestLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_log.moc"
