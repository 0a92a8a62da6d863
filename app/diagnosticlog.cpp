// SPDX-License-Identifier: MIT
#include "app/diagnosticlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QStandardPaths>

#include <atomic>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The folder keeps the newest runs; a run's own file stops at kRunLimit.
constexpr qint64 kFolderLimit = qint64(1024) * 1024;
constexpr int kRunsKept = 20;
constexpr qint64 kRunLimit = qint64(1024) * 1024;
const QString kPrefix = QStringLiteral("wendrix-");
const QString kSuffix = QStringLiteral(".log");
#ifdef Q_OS_WIN
// Notepad of older Windows shows LF-only text as one line.
const QByteArray kLineEnd = QByteArrayLiteral("\r\n");
#else
const QByteArray kLineEnd = QByteArrayLiteral("\n");
#endif
const QByteArray kFull = QByteArrayLiteral("Log File Full: this run's lines stop here, at 1 MiB") + kLineEnd;

QString systemError()
{
#ifdef Q_OS_WIN
    return qt_error_string(int(GetLastError()));
#else
    return QString::fromLocal8Bit(std::strerror(errno));
#endif
}

// This run's file: made new, so that no other file is ever written, and held
// for the run, so that no other instance removes it.
class RunFile
{
public:
    ~RunFile()
    {
#ifdef Q_OS_WIN
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
#else
        if (fd >= 0)
            ::close(fd);
#endif
    }

    // Empty when made, or the line that says why not. A name that is taken,
    // by a file, a folder or a link, is passed over for the next.
    QString create(const QString &folder, const QString &runName)
    {
        for (int attempt = 1; attempt <= 100; ++attempt) {
            path = folder + QLatin1Char('/') + runName
                + (attempt > 1 ? QStringLiteral("-%1").arg(attempt) : QString()) + kSuffix;
#ifdef Q_OS_WIN
            handle = CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()),
                GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle != INVALID_HANDLE_VALUE)
                return QString();
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED)
                break;
#else
            fd = ::open(QFile::encodeName(path).constData(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0) {
                (void)flock(fd, LOCK_EX | LOCK_NB);
                return QString();
            }
            if (errno != EEXIST)
                break;
#endif
        }
        return QStringLiteral("Log File Error: \"%1\" cannot be made: %2").arg(path, systemError());
    }

    // Empty, or the line that says why the log stops.
    QString write(QByteArray bytes)
    {
        if (written + bytes.size() > kRunLimit - kFull.size()) {
            if (full)
                return QString();
            full = true;
            bytes = kFull;
        }
        written += bytes.size();
        for (qint64 done = 0; done < bytes.size();) {
#ifdef Q_OS_WIN
            DWORD count = 0;
            if (!WriteFile(handle, bytes.constData() + done, DWORD(bytes.size() - done), &count, nullptr))
                return QStringLiteral("Log File Error: \"%1\" %2").arg(path, systemError());
#else
            const ssize_t count = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                return QStringLiteral("Log File Error: \"%1\" %2").arg(path, systemError());
#endif
            done += count;
        }
        return QString();
    }

    QString path;

private:
#ifdef Q_OS_WIN
    HANDLE handle = INVALID_HANDLE_VALUE;
#else
    int fd = -1;
#endif
    qint64 written = 0;
    bool full = false;
};

// Removes a run's file unless another instance still writes it: it holds its
// file locked on Linux, and Windows removes no file that is open.
bool removeUnused(const QString &path)
{
#ifdef Q_OS_WIN
    return QFile::remove(path);
#else
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    const bool removed = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0
        && unlink(name) == 0;
    ::close(fd);
    return removed;
#endif
}

// The oldest runs go, whole, while the folder holds too much; own is this
// run's file, the newest.
void removeOldRuns(const QString &folder, const QString &own)
{
    const QFileInfoList runs = QDir(folder).entryInfoList(
        {kPrefix + QLatin1Char('*') + kSuffix}, QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    int count = runs.size();
    qint64 size = 0;
    for (const QFileInfo &run : runs)
        size += run.size();
    for (const QFileInfo &run : runs) {
        if (count <= kRunsKept && size <= kFolderLimit)
            break;
        if (run.filePath() != own && removeUnused(run.filePath())) {
            --count;
            size -= run.size();
        }
    }
}

QMutex mutex;
RunFile *runFile = nullptr;
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

// Writes to this run's file; a fault closes it and goes to standard error.
void write(const QByteArray &bytes)
{
    QMutexLocker lock(&mutex);
    const QString fault = runFile ? runFile->write(bytes) : QString();
    if (fault.isEmpty())
        return;
    delete runFile;
    runFile = nullptr;
    lock.unlock();
    warn(fault);
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool own = type == QtDebugMsg && (!context.category || qstrcmp(context.category, "default") == 0);
    if (!own || ownLinesToStderr)
        previous(type, context, message);
    const QString line = qFormatLogMessage(type, context, message);
    if (!line.isNull())
        write(line.toUtf8() + kLineEnd);
}

} // namespace

DiagnosticLog::DiagnosticLog(const QString &folder, const QString &runName)
{
    const QString path = folderPath(folder);
    if (path.isEmpty()) {
        warn(QStringLiteral("Log File Error: no folder for application data"));
        return;
    }
    if (!QDir().mkpath(path)) {
        warn(QStringLiteral("Log File Error: \"%1\" cannot be made").arg(path));
        return;
    }

    // The process id tells apart two runs started in the same second.
    const QDateTime now = QDateTime::currentDateTime();
    const QString pid = QString::number(QCoreApplication::applicationPid());
    auto *file = new RunFile;
    const QString fault = file->create(path,
        runName.isEmpty() ? kPrefix + now.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss-")) + pid
                          : runName);
    if (!fault.isEmpty()) {
        delete file;
        warn(fault);
        return;
    }
    removeOldRuns(path, file->path);
    {
        QMutexLocker lock(&mutex);
        runFile = file;
    }
    write(QByteArrayLiteral("=== Wendrix ") + WENDRIX_VERSION + ", "
        + now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toLatin1() + ", process "
        + pid.toLatin1() + " ===" + kLineEnd);
    previous = qInstallMessageHandler(handler);
    previousFilter = QLoggingCategory::installFilter(filter);
}

DiagnosticLog::~DiagnosticLog()
{
    if (previous) {
        QLoggingCategory::installFilter(previousFilter);
        qInstallMessageHandler(previous);
    }
    QMutexLocker lock(&mutex);
    delete runFile;
    runFile = nullptr;
    previous = nullptr;
}

QString DiagnosticLog::folderPath(const QString &folder)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return data.isEmpty() ? QString() : data + QLatin1Char('/') + folder;
}
