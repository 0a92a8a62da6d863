// SPDX-License-Identifier: MIT
// What the computer around an update is told: a logind inhibitor lock and the
// desktop portal's inhibition, from the press of Update to each way an update
// ends, nothing while idle, and an update that goes on where no bus answers.
// logind and the portal are mocks (python3-dbusmock) on private buses that
// this test starts and gives the dialog as its system and session buses.

#include "app/dialog.h"
#include "sim/tqr7hid.h"
#include "tests/support/dialogrun.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/probe.h"
#include "tests/support/texts.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Texts;

namespace {
enum Ending { Complete, NoResponse, CommsError, FileError, LinkLost, ClosedWithYes };

// The system's Python, which has dbusmock, whatever python3 the PATH finds first.
const QString kPython = QStringLiteral("/usr/bin/python3");

// A socket at path that takes connections and never reads them; -1 if not.
int silentListener(const QString &path)
{
    sockaddr_un where = {};
    where.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (name.size() >= int(sizeof where.sun_path))
        return -1;
    memcpy(where.sun_path, name.constData(), size_t(name.size()));
    unlink(name.constData());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0
        && (bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 || listen(fd, 16) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A private bus and the mock that serves on it.
struct MockBus
{
    QProcess daemon, mock;
    QString address;
};
} // namespace

class TestInhibit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void heldFromThePressToEachEnding_data();
    void heldFromThePressToEachEnding();
    void withoutAnAnsweringBusTheUpdateGoesOn_data();
    void withoutAnAnsweringBusTheUpdateGoesOn(); // ends the mocks: the last case

private:
    bool startBus(MockBus &bus, const QStringList &mockArguments, const QString &name);
    QStringList logindLocks();
    QStringList portalInhibitions();
    QStringList inhibitCalls();

    MockBus system, session;
};

bool TestInhibit::startBus(MockBus &bus, const QStringList &mockArguments, const QString &name)
{
    bus.daemon.start(QStringLiteral("dbus-daemon"),
        {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    if (!bus.daemon.waitForStarted() || !bus.daemon.waitForReadyRead(kDeadline))
        return false;
    bus.address = QString::fromUtf8(bus.daemon.readLine().trimmed());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus.address);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address);
    bus.mock.setProcessEnvironment(env);
    bus.mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bus.mock.start(kPython, QStringList {QStringLiteral("-m"), QStringLiteral("dbusmock")} + mockArguments);
    QDBusConnection connection = QDBusConnection::connectToBus(bus.address, name);
    return QTest::qWaitFor(
        [&] {
            return connection.interface()->isServiceRegistered(
                mockArguments.contains(QStringLiteral("logind"))
                    ? QStringLiteral("org.freedesktop.login1")
                    : QStringLiteral("org.freedesktop.portal.Desktop"));
        },
        kDeadline);
}

void TestInhibit::initTestCase()
{
    QProcess probe;
    probe.start(kPython, {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
    QVERIFY2(probe.waitForFinished() && probe.exitCode() == 0,
        "the system's python3 needs dbusmock (Debian's python3-dbusmock), and dbus-daemon its package");
    QVERIFY(
        startBus(system, {QStringLiteral("--system"), QStringLiteral("--template"), QStringLiteral("logind")},
            QStringLiteral("test-system")));
    QVERIFY(startBus(session,
        {QStringLiteral("--session"), QStringLiteral("--template"), QFINDTESTDATA("support/portalmock.py")},
        QStringLiteral("test-session")));
    // Before the dialog's first look: libdbus reads the addresses once.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", system.address.toUtf8());
    qputenv("DBUS_SESSION_BUS_ADDRESS", session.address.toUtf8());
    QGuiApplication::setQuitOnLastWindowClosed(false); // a close with Yes only hides the window here
}

void TestInhibit::cleanupTestCase()
{
    for (QProcess *process : {&system.mock, &session.mock, &system.daemon, &session.daemon}) {
        process->kill();
        process->waitForFinished();
    }
}

namespace {
// The array of structures a mock's method answers, each read by readOne as a
// line of text; a line saying so when there is no answer.
template<typename Read>
QStringList listFrom(const char *connection, const QString &service, const QString &path,
    const QString &interface, const QString &method, const QVariantList &arguments, Read readOne)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection(QLatin1String(connection)).call(call);
    if (reply.arguments().isEmpty())
        return {QStringLiteral("no answer: ") + reply.errorMessage()};
    const QDBusArgument list = reply.arguments().first().value<QDBusArgument>();
    QStringList lines;
    list.beginArray();
    while (!list.atEnd()) {
        list.beginStructure();
        lines << readOne(list);
        list.endStructure();
    }
    list.endArray();
    return lines;
}

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kMock = QStringLiteral("org.freedesktop.DBus.Mock");
} // namespace

// logind's locks as what/who/why/mode.
QStringList TestInhibit::logindLocks()
{
    return listFrom("test-system", kLogind, kLogindPath, QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("ListInhibitors"), {}, [](const QDBusArgument &lock) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            lock >> what >> who >> why >> mode >> uid >> pid;
            return QStringList {what, who, why, mode}.join(QLatin1Char('/'));
        });
}

// The portal's open inhibitions as flags/reason.
QStringList TestInhibit::portalInhibitions()
{
    return listFrom("test-session", QStringLiteral("org.freedesktop.portal.Desktop"),
        QStringLiteral("/org/freedesktop/portal/desktop"), kMock, QStringLiteral("ListInhibitions"), {},
        [](const QDBusArgument &inhibition) {
            uint flags = 0;
            QString reason;
            inhibition >> flags >> reason;
            return QString::number(flags) + QLatin1Char('/') + reason;
        });
}

// logind's Inhibit calls so far, as their arguments.
QStringList TestInhibit::inhibitCalls()
{
    return listFrom("test-system", kLogind, kLogindPath, kMock, QStringLiteral("GetMethodCalls"),
        {QStringLiteral("Inhibit")}, [](const QDBusArgument &call) {
            qulonglong time = 0;
            QVariantList arguments;
            call >> time >> arguments;
            QStringList texts;
            for (const QVariant &argument : arguments)
                texts << argument.toString();
            return texts.join(QLatin1Char('/'));
        });
}

void TestInhibit::heldFromThePressToEachEnding_data()
{
    QTest::addColumn<int>("ending");
    QTest::addColumn<QString>("result"); // empty: the window closes

    QTest::newRow("complete") << int(Complete) << kComplete;
    QTest::newRow("no response") << int(NoResponse) << kNoResponse;
    QTest::newRow("internal comms error") << int(CommsError) << kCommsError;
    QTest::newRow("firmware file error") << int(FileError) << kFileError;
    QTest::newRow("lost link") << int(LinkLost) << kNoResponse;
    QTest::newRow("closed with Yes") << int(ClosedWithYes) << QString();
}

void TestInhibit::heldFromThePressToEachEnding()
{
    QFETCH(int, ending);
    QFETCH(QString, result);

    Tqr7Hid::reset();
    if (ending == NoResponse)
        QVERIFY(Tqr7Hid::planFromText("4:30:*=silence"));
    if (ending == CommsError)
        QVERIFY(Tqr7Hid::planFromText("4:30:*=timeout"));
    FirmwareFolder fw;
    fw.writeSet(300, 20, 60);
    DialogRun run(fw.path());
    QVERIFY(QTest::qWaitFor([&] { return run.ready(); }, kDeadline));
    QVERIFY(run.runFor(300));
    QCOMPARE(logindLocks(), QStringList());
    QCOMPARE(portalInhibitions(), QStringList());
    const QStringList callsBefore = inhibitCalls();

    QVERIFY(run.pressUpdate());
    const QStringList lock = {QStringLiteral("sleep:shutdown:idle/Wendrix/") + kInhibitReason + "/block"};
    QTRY_COMPARE_WITH_TIMEOUT(logindLocks(), lock, kDeadline);
    QTRY_COMPARE_WITH_TIMEOUT(
        portalInhibitions(), QStringList(QStringLiteral("13/") + kInhibitReason), kDeadline);
    QCOMPARE(run.status->text(), kUpdating);
    qInfo("%s, during the update: logind %s; portal %s", QTest::currentDataTag(),
        qPrintable(logindLocks().join(QLatin1Char(' '))),
        qPrintable(portalInhibitions().join(QLatin1Char(' '))));

    if (ending == FileError)
        QVERIFY(QFile::remove(fw.mainPath));
    if (ending == LinkLost)
        Tqr7Hid::unplug();
    if (ending == ClosedWithYes) {
        QTimer::singleShot(0, &run.dialog, [] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                box->button(QMessageBox::Yes)->click();
        });
        run.dialog.close();
        QVERIFY(!run.dialog.isVisible());
    } else {
        QVERIFY(run.ends(result));
    }
    QTRY_COMPARE_WITH_TIMEOUT(logindLocks(), QStringList(), kDeadline);
    QTRY_COMPARE_WITH_TIMEOUT(portalInhibitions(), QStringList(), kDeadline);
    qInfo("%s, after the ending: logind [%s]; portal [%s]", QTest::currentDataTag(),
        qPrintable(logindLocks().join(QLatin1Char(' '))),
        qPrintable(portalInhibitions().join(QLatin1Char(' '))));
    QCOMPARE(inhibitCalls(), callsBefore + lock); // once, at the press
    QCOMPARE(run.log.linesStartingWith({kInhibitFailed}), QStringList());
}

void TestInhibit::withoutAnAnsweringBusTheUpdateGoesOn_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("why");
    QTest::newRow("no bus at all") << false << QStringLiteral("Failed to connect to socket");
    // libdbus would wait for ever on such a bus, and the program could not end.
    QTest::newRow("buses that take connections and never answer")
        << true << QStringLiteral("takes connections and does not answer");
}

void TestInhibit::withoutAnAnsweringBusTheUpdateGoesOn()
{
    QFETCH(bool, silent);
    QFETCH(QString, why);
    cleanupTestCase();
    // The buses' sockets, where the dialog looks for them: nothing, or a
    // listener that takes connections and never reads them.
    QVector<int> listeners;
    if (silent) {
        for (const MockBus *bus : {&system, &session}) {
            QVERIFY2(bus->address.startsWith(QStringLiteral("unix:path=")), qPrintable(bus->address));
            listeners << silentListener(
                bus->address.section(QLatin1Char(','), 0, 0).section(QLatin1Char('='), 1));
            QVERIFY(listeners.last() >= 0);
        }
    }
    Tqr7Hid::reset();
    FirmwareFolder fw;
    fw.writeSet(30, 20, 30);
    {
        DialogRun run(fw.path());
        QVERIFY(run.update(kComplete));
        QCOMPARE(dataReports().size(), fw.lines.total());
        QTRY_COMPARE_WITH_TIMEOUT(run.log.linesStartingWith({kInhibitFailed}).size(), 1, kDeadline);
        const QString line = run.log.linesStartingWith({kInhibitFailed}).first();
        qInfo("%s", qPrintable(line));
        QVERIFY2(line.startsWith(kInhibitFailed + QStringLiteral(" logind on the system bus: ")),
            qPrintable(line));
        QVERIFY2(
            line.contains(QStringLiteral("; the desktop portal on the session bus: ")), qPrintable(line));
        QCOMPARE(line.count(why), 2);
    } // and the dialog goes, without waiting on a bus
    for (int fd : listeners)
        close(fd);
}

QTEST_MAIN(TestInhibit)
#include "tst_inhibit.moc"
