#include "app/diagnosticlog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <cstdio>
#endif

namespace {
// The oldest runs go when the file would pass kLimit. Trimming keeps at most
// kKept, so the file is rewritten once in a long while, not at every line.
constexpr qint64 kLimit = qint64(1024) * 1024;
constexpr qint64 kKept = kLimit / 4 * 3;
const QByteArray kRunMarker = QByteArrayLiteral("=== Wendrix ");
const QByteArray kRunStart = '\n' + kRunMarker;
#ifdef Q_OS_WIN
// Notepad of older Windows shows LF-only text as one line.
const QByteArray kLineEnd = QByteArrayLiteral("\r\n");
#else
const QByteArray kLineEnd = QByteArrayLiteral("\n");
#endif

QMutex mutex;
QFile *file = nullptr;
QtMessageHandler previous = nullptr;

// The newest whole runs that fit in budget. A run too long by itself, which
// can only be the one still running, keeps its first line and its newest lines.
QByteArray newestRuns(const QByteArray &log, qint64 budget)
{
    qsizetype from = 0;
    while (log.size() - from > budget) {
        const qsizetype next = log.indexOf(kRunStart, from);
        if (next < 0)
            break;
        from = next + 1;
    }
    if (log.size() - from <= budget)
        return log.mid(from);

    QByteArray kept;
    const qsizetype firstLineEnd = log.indexOf('\n', from);
    if (log.mid(from, kRunMarker.size()) == kRunMarker && firstLineEnd >= 0)
        kept = log.mid(from, firstLineEnd + 1 - from);
    const qsizetype cut = log.size() - qMax<qint64>(budget - kept.size(), 0);
    const qsizetype newline = log.indexOf('\n', cut - 1);
    return kept + log.mid(newline < 0 ? log.size() : newline + 1);
}

// Called with the mutex held.
bool append(const QByteArray &bytes)
{
    if (file->size() + bytes.size() > kLimit) {
        if (!file->seek(0))
            return false;
        const QByteArray kept = newestRuns(file->readAll(), qMax<qint64>(kKept - bytes.size(), 0));
        if (!file->resize(0) || !file->seek(0) || file->write(kept) != kept.size())
            return false;
    }
    // Flushed at once: the lines before a crash are the ones most wanted.
    return file->write(bytes) == bytes.size() && file->flush();
}

// Called with the mutex held; gives the line that says why the log stops.
QString closeOnFault()
{
    QString fault = QStringLiteral("Log File Error: \"%1\" %2").arg(file->fileName(), file->errorString());
    delete file;
    file = nullptr;
    return fault;
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (previous)
        previous(type, context, message);
    const QString line = qFormatLogMessage(type, context, message);
    if (line.isNull())
        return;
    QMutexLocker lock(&mutex);
    if (!file || append(line.toUtf8() + kLineEnd))
        return;
    const QString fault = closeOnFault();
    lock.unlock();
    if (previous)
        previous(QtWarningMsg, QMessageLogContext(), fault);
}
} // namespace

DiagnosticLog::DiagnosticLog()
{
    const QString path = filePath();
    if (path.isEmpty()) {
        qWarning("Log File Error: no folder for application data");
        return;
    }
    const QString folder = QFileInfo(path).path();
    if (!QDir().mkpath(folder)) {
        qWarning("%s", qUtf8Printable(QStringLiteral("Log File Error: \"%1\" cannot be made").arg(folder)));
        return;
    }

    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray header = kRunMarker + WENDRIX_VERSION + ", "
        + now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toLatin1() + " ===" + kLineEnd;
    QMutexLocker lock(&mutex);
    file = new QFile(path);
    if (!file->open(QIODevice::ReadWrite | QIODevice::Append) || !append(header)) {
        const QString fault = closeOnFault();
        lock.unlock();
        qWarning("%s", qUtf8Printable(fault));
        return;
    }
    lock.unlock();
    previous = qInstallMessageHandler(handler);
}

DiagnosticLog::~DiagnosticLog()
{
    if (previous)
        qInstallMessageHandler(previous);
    QMutexLocker lock(&mutex);
    delete file;
    file = nullptr;
}

QString DiagnosticLog::filePath()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/wendrix.log");
}

void DiagnosticLog::attachParentConsole()
{
#ifdef Q_OS_WIN
    // Output the prompt sent to a file or a pipe stays there.
    const auto redirected = [](DWORD which) {
        const DWORD type = GetFileType(GetStdHandle(which));
        return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
    };
    const bool outRedirected = redirected(STD_OUTPUT_HANDLE);
    const bool errRedirected = redirected(STD_ERROR_HANDLE);
    // Started from Explorer there is none to attach to, and none is made.
    // (Wine attaches a GUI program to its parent's console by itself.)
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED)
        return;
    // A GUI program's stdout and stderr lead nowhere: give them the console.
    // Qt's default handler writes to stderr only when it finds a console,
    // and looks once, at the first line: hence this runs before any line.
    FILE *stream = nullptr;
    if (!outRedirected)
        (void)freopen_s(&stream, "CONOUT$", "w", stdout);
    if (!errRedirected)
        (void)freopen_s(&stream, "CONOUT$", "w", stderr);
#endif
}

#ifdef Q_OS_WIN
namespace {
bool detached = false;
}
#endif

void DiagnosticLog::detachConsole()
{
#ifdef Q_OS_WIN
    detached = detached || FreeConsole();
#endif
}

void DiagnosticLog::reattachConsole()
{
#ifdef Q_OS_WIN
    if (!detached)
        return;
    detached = false;
    attachParentConsole();
#endif
}
