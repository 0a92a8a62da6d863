// SPDX-License-Identifier: MIT
#include "app/inhibitor.h"

#include <QGuiApplication>
#include <QStringList>
#include <QWidget>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QMutex>
#include <QSocketNotifier>
#include <QThread>
#include <QVariantMap>
#include <QWaitCondition>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

QString Inhibitor::reason()
{
    return QStringLiteral("Updating the TQR-7 firmware");
}

#ifdef Q_OS_WIN

Inhibitor::Inhibitor(QObject *parent) : QObject(parent) { }

Inhibitor::~Inhibitor()
{
    release();
}

// The display may sleep; the system must not. The shutdown screen names the
// window and this reason, and Qt refuses the session's end while the program
// cancels it (Dialog).
void Inhibitor::hold(QWidget *window)
{
    release();
    held = true;
    QStringList failures;
    if (!SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED))
        failures << QStringLiteral("SetThreadExecutionState: %1").arg(qt_error_string(int(GetLastError())));
    // Only a window of the Windows platform has a handle to name (not one
    // drawn offscreen).
    if (QGuiApplication::platformName() == QLatin1String("windows")) {
        heldWindow = window;
        const QString why = reason();
        if (!ShutdownBlockReasonCreate(
                reinterpret_cast<HWND>(window->winId()), reinterpret_cast<LPCWSTR>(why.utf16())))
            failures
                << QStringLiteral("ShutdownBlockReasonCreate: %1").arg(qt_error_string(int(GetLastError())));
    }
    if (!failures.isEmpty())
        emit failed(failures.join(QStringLiteral("; ")));
}

void Inhibitor::release()
{
    if (!held)
        return;
    held = false;
    SetThreadExecutionState(ES_CONTINUOUS);
    if (heldWindow)
        ShutdownBlockReasonDestroy(reinterpret_cast<HWND>(heldWindow->winId()));
    heldWindow = nullptr;
}

void Inhibitor::takeTermination() { }

#else

namespace {

constexpr int kCallTimeoutMs = 5000;
constexpr int kProbeMs = 2000;

// What and how logind is asked: no sleep, no shutdown and no idle action
// while the lock is held, and a shutdown that would ignore it must be forced.
const QString kWhat = QStringLiteral("sleep:shutdown:idle");
const QString kWho = QStringLiteral("Wendrix");
const QString kMode = QStringLiteral("block");
// The desktop portal's flags: logout, suspend and idle.
constexpr uint kPortalFlags = 1 | 4 | 8;

QString reasonOf(const QDBusError &error)
{
    return error.message().isEmpty() ? error.name() : error.message();
}

// The address libdbus would take for the bus, where it is a local socket.
QByteArray busAddress(QDBusConnection::BusType bus)
{
    if (bus == QDBusConnection::SystemBus) {
        const QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
        return address.isEmpty() ? QByteArrayLiteral("unix:path=/var/run/dbus/system_bus_socket") : address;
    }
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    return address.isEmpty() && !runtime.isEmpty() ? "unix:path=" + runtime + "/bus" : address;
}

// Whether a bus that takes the connection is silent: it does not answer the
// first words of the handshake within kProbeMs. libdbus waits for ever on
// such a bus, on the thread all of Qt's connections share, and the program
// could not end; a bus that is not there at all is left to libdbus to name.
bool silent(const QByteArray &address)
{
    const QByteArray first = address.split(';').first();
    if (!first.startsWith("unix:"))
        return false;
    sockaddr_un where = {};
    where.sun_family = AF_UNIX;
    socklen_t length = 0;
    for (const QByteArray &pair : first.mid(5).split(',')) {
        const int equals = pair.indexOf('=');
        const QByteArray key = pair.left(equals),
                         value = QByteArray::fromPercentEncoding(pair.mid(equals + 1));
        const bool abstract = key == "abstract";
        if ((key != "path" && !abstract) || value.size() + 2 > int(sizeof where.sun_path))
            continue;
        memcpy(where.sun_path + (abstract ? 1 : 0), value.constData(), size_t(value.size()));
        length = socklen_t(offsetof(sockaddr_un, sun_path) + (abstract ? 1 : 0) + value.size());
    }
    const int fd = length ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0) : -1;
    if (fd < 0)
        return false;
    // A full backlog is a bus that takes no connections: libdbus would wait.
    bool quiet = false;
    const QByteArray hello
        = QByteArray(1, '\0') + "AUTH EXTERNAL " + QByteArray::number(uint(getuid())).toHex() + "\r\n";
    if (connect(fd, reinterpret_cast<sockaddr *>(&where), length) != 0) {
        quiet = errno == EAGAIN;
    } else if (send(fd, hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) == hello.size()) {
        pollfd answer = {fd, POLLIN, 0};
        quiet = poll(&answer, 1, kProbeMs) == 0;
    }
    close(fd);
    return quiet;
}

// Connects to the bus under name of its own and makes the call: the first
// value of its answer, or nothing and in why what went wrong.
QVariant ask(QDBusConnection::BusType bus, const QString &name, const QDBusMessage &call, QString &why)
{
    const QByteArray address = busAddress(bus);
    if (silent(address)) {
        why = QStringLiteral("%1 takes connections and does not answer").arg(QString::fromUtf8(address));
        return QVariant();
    }
    QDBusConnection connection = QDBusConnection::connectToBus(bus, name);
    if (!connection.isConnected()) {
        why = reasonOf(connection.lastError());
        return QVariant();
    }
    const QDBusMessage reply = connection.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        return reply.arguments().first();
    if (reply.type() == QDBusMessage::ErrorMessage)
        why = reply.errorMessage();
    return QVariant();
}

} // namespace

// One update's hold on logind and the desktop portal. Connecting to a bus and
// every call wait for an answer, so they run on this thread rather than the
// window's; a release asked for meanwhile is served as soon as they are done.
class BusHold : public QThread
{
    Q_OBJECT

public:
    void release()
    {
        QMutexLocker locker(&mutex);
        released = true;
        wake.wakeAll();
    }

signals:
    void failed(const QString &); // what could not be asked, and why

protected:
    void run() override
    {
        QStringList failures;
        // A connection of its own for each update: nothing is shared with
        // another user of the buses in the process, and it ends with the hold.
        const QString name = QStringLiteral("wendrix-inhibit-%1").arg(quintptr(this), 0, 16);
        const QString systemName = name + QStringLiteral("-system");
        const QString sessionName = name + QStringLiteral("-session");

        // logind keeps the lock while the descriptor it hands out is open.
        QDBusMessage inhibit = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"),
            QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
            QStringLiteral("Inhibit"));
        inhibit << kWhat << kWho << Inhibitor::reason() << kMode;
        QString why;
        QDBusUnixFileDescriptor lock
            = ask(QDBusConnection::SystemBus, systemName, inhibit, why).value<QDBusUnixFileDescriptor>();
        if (!lock.isValid())
            failures << QStringLiteral("logind on the system bus: ")
                    + (why.isEmpty() ? QStringLiteral("no lock in its answer") : why);
        QDBusConnection::disconnectFromBus(systemName);

        // The desktop (GNOME, KDE) shows the reason in its logout and suspend
        // dialogs; the inhibition lasts until its request is closed.
        QDBusMessage portal = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"),
            QStringLiteral("/org/freedesktop/portal/desktop"),
            QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
        QVariantMap options;
        options.insert(QStringLiteral("reason"), Inhibitor::reason());
        portal << QString() << kPortalFlags << options;
        why.clear();
        const QString request
            = ask(QDBusConnection::SessionBus, sessionName, portal, why).value<QDBusObjectPath>().path();
        if (request.isEmpty())
            failures << QStringLiteral("the desktop portal on the session bus: ")
                    + (why.isEmpty() ? QStringLiteral("no request in its answer") : why);

        if (!failures.isEmpty())
            emit failed(failures.join(QStringLiteral("; ")));

        {
            QMutexLocker locker(&mutex);
            while (!released)
                wake.wait(&mutex);
        }
        lock = QDBusUnixFileDescriptor(); // closes the descriptor: logind drops the lock
        if (!request.isEmpty())
            QDBusConnection(sessionName)
                .call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"),
                          request, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Close")),
                    QDBus::Block, kCallTimeoutMs);
        QDBusConnection::disconnectFromBus(sessionName);
    }

private:
    QMutex mutex;
    QWaitCondition wake;
    bool released = false;
};

namespace {

// SIGTERM reaches the window's thread through a pipe: a signal handler may
// do no more than write to it.
int terminationPipe[2] = {-1, -1}; // made once, for the process
struct sigaction previousTermination;

void onTermination(int)
{
    const char byte = 1;
    (void)!write(terminationPipe[1], &byte, 1);
}

// Whether a SIGTERM came since the last look.
bool drainTermination()
{
    char byte;
    bool came = false;
    while (read(terminationPipe[0], &byte, 1) > 0)
        came = true;
    return came;
}

} // namespace

Inhibitor::Inhibitor(QObject *parent) : QObject(parent) { }

// A hold still waiting for a bus is waited for: its thread must not outlive
// the program's objects. Only a bus that never answers makes that wait long
// (libdbus gives up after about 25 s), and the window is gone by then.
Inhibitor::~Inhibitor()
{
    release();
    for (BusHold *hold : findChildren<BusHold *>()) {
        hold->wait();
        delete hold;
    }
}

void Inhibitor::hold(QWidget *window)
{
    Q_UNUSED(window); // the buses need no window: an empty id is "no parent"
    release();
    held = true;
    takeTermination();
    busHold = new BusHold;
    busHold->setParent(this);
    connect(busHold, &BusHold::failed, this, &Inhibitor::failed);
    connect(busHold, &QThread::finished, busHold, &QObject::deleteLater);
    busHold->start();
}

void Inhibitor::release()
{
    if (!held)
        return;
    held = false;
    if (busHold)
        busHold->release();
    busHold = nullptr;
    if (termination) {
        termination->setEnabled(false);
        sigaction(SIGTERM, &previousTermination, nullptr);
        // A SIGTERM that came while the update ended still ends the program.
        if (drainTermination())
            raise(SIGTERM);
    }
}

// A forced shutdown ends the program with SIGTERM: the program says where the
// update stood, then ends as SIGTERM would have ended it.
void Inhibitor::takeTermination()
{
    if (!termination) {
        if (terminationPipe[0] < 0 && pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        termination = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, this);
        connect(termination, &QSocketNotifier::activated, this, [this] {
            if (!drainTermination())
                return;
            emit terminating();
            sigaction(SIGTERM, &previousTermination, nullptr);
            raise(SIGTERM);
        });
    }
    struct sigaction action = {};
    action.sa_handler = onTermination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &previousTermination);
    termination->setEnabled(true);
}

#include "inhibitor.moc"

#endif
