// SPDX-License-Identifier: MIT
#include "app/diagnosticlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QScopedPointer>
#include <QStandardPaths>
#include <QThread>

#include <atomic>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <cstdio>
#include <io.h>
#else
#include <sys/stat.h>
#endif

namespace {
// The oldest runs go when the file would pass kLimit. Trimming keeps at most
// kKept, so the file is rewritten once in a long while, not at every line.
constexpr qint64 kLimit = qint64(1024) * 1024;
constexpr qint64 kKept = kLimit / 4 * 3;
// Instances running at once take turns at the file. A lock is held for one
// write; a line that finds it taken for longer than this waits in memory for
// the next line, so no update waits on another instance.
constexpr int kLockWaitMs = 10;
constexpr int kStaleLockMs = 5000; // left by a process that died or hangs holding it
// What still waits when the run ends is offered the file every millisecond or
// so: another instance busy writing frees the lock only for moments between
// its lines, which a lock's own retries (100 ms apart, then longer) miss.
constexpr int kLastLockWaitMs = kStaleLockMs + 1000;
constexpr int kWaitingLimit = 256 * 1024;
const QByteArray kRunMarker = QByteArrayLiteral("=== Wendrix ");
const QByteArray kRunStart = '\n' + kRunMarker;
#ifdef Q_OS_WIN
// Notepad of older Windows shows LF-only text as one line.
const QByteArray kLineEnd = QByteArrayLiteral("\r\n");
#else
const QByteArray kLineEnd = QByteArrayLiteral("\n");
#endif

// The newest whole runs that fit in budget. A run too long by itself keeps its
// first line and its newest lines.
QByteArray newestRuns(const QByteArray &log, qint64 budget)
{
    int from = 0;
    while (log.size() - from > budget) {
        const int next = log.indexOf(kRunStart, from);
        if (next < 0)
            break;
        from = next + 1;
    }
    if (log.size() - from <= budget)
        return log.mid(from);

    QByteArray kept;
    const int firstLineEnd = log.indexOf('\n', from);
    if (log.mid(from, kRunMarker.size()) == kRunMarker && firstLineEnd >= 0)
        kept = log.mid(from, firstLineEnd + 1 - from);
    const int cut = log.size() - int(qMax<qint64>(budget - kept.size(), 0));
    const int newline = log.indexOf('\n', cut - 1);
    return kept + log.mid(newline < 0 ? log.size() : newline + 1);
}

// What makes a file unfit to be the log, found on the open file itself: the
// file looked at by name is the file written. A link would have the log write
// or trim a file elsewhere.
QString unfitness(QFile &file)
{
#ifdef Q_OS_WIN
    BY_HANDLE_FILE_INFORMATION info;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return QStringLiteral("cannot be looked at");
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        return QStringLiteral("is a link, not a regular file");
    if (info.nNumberOfLinks > 1)
        return QStringLiteral("has %1 hard links").arg(info.nNumberOfLinks);
#else
    struct stat opened, named;
    if (fstat(file.handle(), &opened) != 0
        || lstat(QFile::encodeName(file.fileName()).constData(), &named) != 0)
        return QStringLiteral("cannot be looked at");
    if (S_ISLNK(named.st_mode))
        return QStringLiteral("is a symbolic link");
    if (!S_ISREG(opened.st_mode))
        return QStringLiteral("is not a regular file");
    if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
        return QStringLiteral("was replaced while it was opened");
    if (opened.st_nlink > 1)
        return QStringLiteral("has %1 hard links").arg(qulonglong(opened.st_nlink));
#endif
    return QString();
}

// The log file of this run, shared with other instances. Used with the mutex held.
class LogFile
{
public:
    // Empty when the file is ready, or the line that says why it is not.
    QString open(const QString &path, const QByteArray &runHeader)
    {
        header = runHeader;
        file.setFileName(path);
        const QFileInfo info(path);
        if (info.isSymLink())
            return refusal(QStringLiteral("is a symbolic link"));
        if (info.exists() && !info.isFile())
            return refusal(QStringLiteral("is not a regular file"));
        // Unbuffered: each write reaches the file at once, and a failure is
        // the system's own (a full disk says so).
        if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered))
            return fault();
        const QString unfit = unfitness(file);
        if (!unfit.isEmpty()) {
            file.close();
            return refusal(unfit);
        }
        lock.reset(new QLockFile(path + QStringLiteral(".lock")));
        lock->setStaleLockTime(kStaleLockMs);
        return write(QByteArray(), kLockWaitMs);
    }

    QString write(const QByteArray &lines, int lockWaitMs)
    {
        waiting += lines;
        if (!lock->tryLock(lockWaitMs)) {
            // A lock that cannot be written is the system's to explain: a full
            // disk, most likely.
            const QString why = qt_error_string();
            if (lock->error() != QLockFile::LockFailedError)
                return QStringLiteral("Log File Error: \"%1.lock\" cannot be made: %2")
                    .arg(file.fileName(), why);
            if (waiting.size() > kWaitingLimit)
                waiting = waiting.right(kWaitingLimit / 2);
            return QString();
        }
        QString result = writeWaiting();
        lock->unlock();
        return result;
    }

    QString finish()
    {
        QElapsedTimer waited;
        waited.start();
        while (!waiting.isEmpty()) {
            if (waited.hasExpired(kLastLockWaitMs))
                return QStringLiteral("Log File Error: \"%1\" is held by another instance; the last lines of "
                                      "this run are not written")
                    .arg(file.fileName());
            QString fault = write(QByteArray(), 0);
            if (!fault.isEmpty())
                return fault;
            if (!waiting.isEmpty())
                QThread::msleep(1);
        }
        return QString();
    }

private:
    // With the lock held.
    QString writeWaiting()
    {
        qint64 size = file.size();
        QByteArray out;
        if (size != ownEnd) {
            // Another instance wrote or trimmed since this run's last line, or
            // nothing of this run is there yet: its lines go under its own
            // header. A file cut off mid-line (a full disk) gets the line end
            // the header needs to start a line.
            if (size > 0 && !endsWithLineEnd(size))
                out += kLineEnd;
            out += header;
        }
        out += waiting;
        if (size + out.size() > kLimit) {
            if (!file.seek(0))
                return fault();
            const QByteArray kept
                = newestRuns(file.readAll(), qMax<qint64>(kKept - header.size() - waiting.size(), 0));
            if (!file.resize(0) || !file.seek(0) || file.write(kept) != kept.size())
                return fault();
            size = kept.size();
            out = (kept.isEmpty() || kept.endsWith('\n') ? QByteArray() : kLineEnd) + header + waiting;
        }
        // Windows' append mode seeks to the end once, when the file is opened:
        // each write seeks to the end as it is now.
        if (!file.seek(size) || file.write(out) != out.size())
            return fault();
        ownEnd = size + out.size();
        waiting.clear();
        return QString();
    }

    bool endsWithLineEnd(qint64 size)
    {
        char last = 0;
        return file.seek(size - 1) && file.read(&last, 1) == 1 && last == '\n';
    }

    QString fault() const
    {
        return QStringLiteral("Log File Error: \"%1\" %2").arg(file.fileName(), file.errorString());
    }

    QString refusal(const QString &why) const
    {
        return QStringLiteral("Log File Error: \"%1\" %2; the log is not written").arg(file.fileName(), why);
    }

    QFile file;
    QScopedPointer<QLockFile> lock;
    QByteArray header;
    QByteArray waiting; // lines not written yet: the lock was taken
    qint64 ownEnd = -1; // the file's size after this run's last write
};

QMutex mutex;
LogFile *logFile = nullptr;
QtMessageHandler previous = nullptr;
QLoggingCategory::CategoryFilter previousFilter = nullptr;
// Whether the logging rules let the program's own lines (debug lines of the
// default category) reach standard error. The log takes them whatever the
// rules say: a system that switches debug output off must not leave support
// an empty log.
std::atomic<bool> ownLinesToStderr(true);

void filter(QLoggingCategory *category)
{
    if (previousFilter)
        previousFilter(category);
    if (qstrcmp(category->categoryName(), "default") == 0) {
        ownLinesToStderr = category->isDebugEnabled();
        category->setEnabled(QtDebugMsg, true);
    }
}

void warn(const QString &text)
{
    if (previous)
        previous(QtWarningMsg, QMessageLogContext(), text);
    else
        qWarning("%s", qUtf8Printable(text));
}

// Runs step on the log file, if there is one, with the mutex held. A fault
// closes the file, as does the run's last step; the fault goes to standard
// error once the mutex is free. Whether the file is still open.
template<typename Step> bool useLogFile(Step step, bool last = false)
{
    QMutexLocker lock(&mutex);
    const QString fault = logFile ? step(*logFile) : QString();
    if (!fault.isEmpty() || last) {
        delete logFile;
        logFile = nullptr;
    }
    const bool open = logFile != nullptr;
    lock.unlock();
    if (!fault.isEmpty())
        warn(fault);
    return open;
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool own = type == QtDebugMsg && (!context.category || qstrcmp(context.category, "default") == 0);
    if (!own || ownLinesToStderr)
        previous(type, context, message);
    // A message the log itself causes (Qt warning of a lock file, say) goes
    // to standard error only.
    thread_local bool inside = false;
    const QString line = qFormatLogMessage(type, context, message);
    if (inside || line.isNull())
        return;
    inside = true;
    useLogFile([&](LogFile &file) { return file.write(line.toUtf8() + kLineEnd, kLockWaitMs); });
    inside = false;
}
} // namespace

DiagnosticLog::DiagnosticLog(const QString &folder)
{
    const QString path = filePath(folder);
    if (path.isEmpty()) {
        warn(QStringLiteral("Log File Error: no folder for application data"));
        return;
    }
    const QString folderPath = QFileInfo(path).path();
    if (!QDir().mkpath(folderPath)) {
        warn(QStringLiteral("Log File Error: \"%1\" cannot be made").arg(folderPath));
        return;
    }

    // The process id tells apart two runs started in the same second.
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray header = kRunMarker + WENDRIX_VERSION + ", "
        + now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toLatin1() + ", process "
        + QByteArray::number(QCoreApplication::applicationPid()) + " ===" + kLineEnd;
    {
        QMutexLocker lock(&mutex);
        logFile = new LogFile;
    }
    if (!useLogFile([&](LogFile &file) { return file.open(path, header); }))
        return;
    previous = qInstallMessageHandler(handler);
    previousFilter = QLoggingCategory::installFilter(filter);
}

DiagnosticLog::~DiagnosticLog()
{
    if (previous) {
        QLoggingCategory::installFilter(previousFilter);
        qInstallMessageHandler(previous);
    }
    useLogFile([](LogFile &file) { return file.finish(); }, true);
    previous = nullptr;
}

QString DiagnosticLog::filePath(const QString &folder)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return data.isEmpty() ? QString() : data + QLatin1Char('/') + folder + QStringLiteral("/wendrix.log");
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
