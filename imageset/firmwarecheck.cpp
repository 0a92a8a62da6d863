// SPDX-License-Identifier: MIT
#include "imageset/firmwarecheck.h"

#include "protocol/report.h"

#include <QFileInfo>

#include <cctype>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A line of a report and a CR LF line end, with room to spare: the longest
// line that is ever kept whole.
constexpr int kLineReadLimit = Report::kMaxLineLength + 8;
// The rest of a longer line is read in pieces this large and dropped: a
// quarter of what the file object buffers anyway, and few enough calls that
// gigabytes without a line end take seconds, not minutes.
constexpr int kSkipChunk = 4096;

QString hexByte(int value)
{
    return QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

// What an editor may put before the first line of a file saved as UTF-8.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

bool isEndRecord(const QByteArray &line)
{
    return line.size() > Report::kRecordTypeIndex
        && line.at(Report::kRecordTypeIndex) == Report::kEndRecordType;
}

// The unit takes each line as text and can only acknowledge it or report a
// bus time-out: a damaged record would be flashed as it is, or refused by a
// target half-way through the update. So every record is checked here: a
// ':', pairs of hex digits, a byte count that matches, a known record type
// and a checksum that makes its bytes sum to 0. A blank line or a trailing
// space is no record either.
QString recordFault(const QByteArray &text, int number)
{
    const QString where = QStringLiteral("line %1: ").arg(number);
    if (text.isEmpty())
        return where + QStringLiteral("not an Intel HEX record (a blank line)");
    if (text.at(0) != ':')
        return where + QStringLiteral("not an Intel HEX record (no ':' at the start)");
    for (int i = 1; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text.at(i));
        if (!std::isxdigit(c)) {
            const QString shown = c < 0x80 ? QStringLiteral("'%1'").arg(QLatin1Char(char(c)))
                                           : QStringLiteral("0x") + hexByte(c);
            return where
                + QStringLiteral("not an Intel HEX record (%1 at character %2 is not a hex digit)")
                      .arg(shown)
                      .arg(i + 1);
        }
    }
    const int digits = text.size() - 1;
    if (digits % 2 != 0)
        return where + QStringLiteral("not an Intel HEX record (an odd number of hex digits)");
    // Byte count, two address bytes, record type, data, checksum.
    const QByteArray bytes = QByteArray::fromHex(text.mid(1));
    if (bytes.size() < 5)
        return where
            + QStringLiteral("not an Intel HEX record (%1 hex digits; a record has at least 10)").arg(digits);
    const int byteCount = quint8(bytes.at(0));
    if (byteCount != bytes.size() - 5)
        return where + QStringLiteral("byte count %1 but %2 data bytes").arg(byteCount).arg(bytes.size() - 5);
    const int type = quint8(bytes.at(3));
    if (type > 5)
        return where + QStringLiteral("record type %1, not one of 00 to 05").arg(hexByte(type));
    int sum = 0;
    for (int i = 0; i < bytes.size() - 1; ++i)
        sum += quint8(bytes.at(i));
    const int needed = (0x100 - (sum & 0xFF)) & 0xFF;
    const int checksum = quint8(bytes.at(bytes.size() - 1));
    if (checksum != needed)
        return where
            + QStringLiteral("checksum 0x%1, the record needs 0x%2").arg(hexByte(checksum), hexByte(needed));
    return QString();
}

// Why path cannot be opened for reading.
QString openFault(const QString &path)
{
    const QFileInfo info(path);
    if (path.isEmpty())
        return QStringLiteral("no file of this kind was found");
    if (!info.exists())
        return QStringLiteral("cannot be opened: no such file");
    if (!info.isReadable())
        return QStringLiteral("cannot be opened: not readable");
    return QStringLiteral("cannot be opened");
}

QString notRegularFault(const QString &kind)
{
    return QStringLiteral("is not a regular file (%1)").arg(kind);
}

#ifndef Q_OS_WIN
QString kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("a socket");
}
#endif

} // namespace

QByteArray CheckedImage::line(int number) const
{
    if (number < 1 || number > lineStarts.size())
        return QByteArray();
    const int start = lineStarts.at(number - 1);
    const int end = number < lineStarts.size() ? lineStarts.at(number) : text.size();
    return text.mid(start, end - start);
}

void CheckedImage::append(const QByteArray &line)
{
    lineStarts.append(text.size());
    text.append(line);
}

QString CheckedImage::afterEndNote() const
{
    if (linesAfterEnd >= FirmwareCheck::kCountLimit)
        return QStringLiteral("more than 65,535 lines after the end record are not sent");
    if (linesAfterEnd == 1)
        return QStringLiteral("1 line after the end record is not sent");
    if (linesAfterEnd > 1)
        return QStringLiteral("%1 lines after the end record are not sent").arg(linesAfterEnd);
    return QString();
}

namespace FirmwareCheck {

QString open(FirmwareFile &file, const QString &path, QIODevice::OpenMode mode)
{
    file.setFileName(path);
    file.setPath(path);
#ifdef Q_OS_WIN
    // No named pipes or devices among the files of a folder here.
    const QFileInfo info(path);
    if (info.isDir())
        return notRegularFault(QStringLiteral("a folder"));
    if (!file.open(mode))
        return openFault(path);
    return QString();
#else
    // A named pipe opened to be read waits for a writer, for ever: what the
    // path names is opened without waiting, then looked at, so that a file
    // swapped for another between a look and the open is seen too.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return openFault(path);
    struct stat status = {};
    if (::fstat(fd, &status) == 0 && !S_ISREG(status.st_mode)) {
        ::close(fd);
        return notRegularFault(kindOf(status.st_mode));
    }
    // Reads wait for the file's bytes again, as a QFile's reads expect.
    if (!S_ISREG(status.st_mode) || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == -1
        || !file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return openFault(path);
    }
    return QString();
#endif
}

int countLines(const QString &path)
{
    // Text mode, as the lines are sent: a CR LF line end reads as LF.
    FirmwareFile file;
    if (!open(file, path, QIODevice::ReadOnly | QIODevice::Text).isEmpty())
        return 0;
    int count = 0;
    bool endFound = false;
    while (!endFound && count < kCountLimit && !file.atEnd()) {
        char buffer[kLineReadLimit + 1]; // readLine keeps one byte for a NUL
        const qint64 n = file.readLine(buffer, sizeof buffer);
        if (n <= 0)
            break; // a read error, not a line
        ++count;
        const qint64 textLength = buffer[n - 1] == '\n' ? n - 1 : n;
        if (textLength >= Report::kMaxLineLength)
            break; // too long for a report, and not read to its end
        endFound = n > Report::kRecordTypeIndex && buffer[Report::kRecordTypeIndex] == Report::kEndRecordType;
    }
    return count;
}

// Refuses a file before anything is sent when it would hang the update, wrap
// the 16-bit line numbers, need a line that does not fit a report or hold a
// damaged record. Lines after the end record are never sent, only counted:
// a file of two images joined would otherwise lose its second unremarked.
CheckedImage checkFile(const QString &path)
{
    CheckedImage image;
    // Read without text mode: it would drop a CR inside a line unseen, and
    // the line sent would not be the file's.
    FirmwareFile file;
    image.fault = open(file, path);
    if (!image.fault.isEmpty())
        return image;
    if (file.atEnd()) {
        image.fault = QStringLiteral("empty file");
        return image;
    }
    int count = 0;
    while (!file.atEnd()) {
        qint64 textLength = 0;
        const QByteArray line = readLine(file, textLength);
        ++count;
        if (line.isEmpty())
            image.fault = QStringLiteral("read error in line %1").arg(count);
        else if (count > Report::kMaxFileLines)
            image.fault = QStringLiteral("more than 65,535 lines");
        else
            image.fault = lineFault(line, textLength, count);
        if (!image.fault.isEmpty())
            return image;
        image.append(line);
        if (isEndRecord(line)) {
            // Read to be counted, a line at a time, and dropped.
            while (image.linesAfterEnd < kCountLimit && !file.atEnd()) {
                if (readLine(file, textLength).isEmpty())
                    break; // a read error: the count so far
                ++image.linesAfterEnd;
            }
            return image;
        }
    }
    image.fault = QStringLiteral("no end record");
    return image;
}

QByteArray readLine(QIODevice &file, qint64 &textLength)
{
    char buffer[kSkipChunk + 1]; // readLine keeps one byte for a NUL
    qint64 n = file.readLine(buffer, kLineReadLimit + 1);
    textLength = 0;
    if (n <= 0)
        return QByteArray();
    QByteArray line(buffer, int(n));
    qint64 length = n;
    char last = buffer[n - 1];
    char beforeLast = n > 1 ? buffer[n - 2] : '\0';
    while (last != '\n' && !file.atEnd()) {
        n = file.readLine(buffer, sizeof buffer);
        if (n <= 0)
            break;
        length += n;
        beforeLast = n > 1 ? buffer[n - 2] : last;
        last = buffer[n - 1];
    }
    textLength = length;
    if (last != '\n')
        return line;
    textLength -= beforeLast == '\r' ? 2 : 1;
    // The line end, LF or CR LF, becomes one LF, also where only part of a
    // long line was kept and its CR was among the bytes kept.
    if (line.size() > textLength) {
        line.truncate(int(textLength));
        line.append('\n');
    }
    return line;
}

// A line goes to the unit whole, as text: at most 56 bytes with its line end
// (one is added to a last line without), no control or NUL byte, which marks
// a damaged or binary file, and an intact Intel HEX record. What an editor
// does not show, a byte-order mark or lines that end in CR alone, is named as
// such, and a control byte before the length: either says more about the
// file than the length it makes (a file of CR line ends is one long line).
// Of a line too long to keep, only the bytes kept are looked at.
QString lineFault(const QByteArray &line, qint64 textLength, int number)
{
    if (line.startsWith(kByteOrderMark))
        return QStringLiteral("line %1 starts with a UTF-8 byte-order mark (EF BB BF), which no record has:"
                              " save the file without it")
            .arg(number);
    const int kept = line.endsWith('\n') ? line.size() - 1 : line.size();
    for (int i = 0; i < kept; ++i) {
        const auto c = static_cast<unsigned char>(line.at(i));
        if (c >= 0x20 && c != 0x7F)
            continue;
        // A CR that ends a line: the next record follows, or the file ends.
        const bool lineEnd
            = c == '\r' && (i + 1 < kept ? line.at(i + 1) == ':' : kept == line.size() && textLength == kept);
        if (lineEnd)
            return QStringLiteral("line %1 ends in a bare CR (0x0D) at character %2:"
                                  " a line end of CR only, not LF or CR LF")
                .arg(number)
                .arg(i + 1);
        return QStringLiteral("a %1 (0x%2) in line %3 at character %4")
            .arg(c == 0 ? QStringLiteral("NUL byte") : QStringLiteral("control byte"), hexByte(c))
            .arg(number)
            .arg(i + 1);
    }
    if (textLength + 1 > Report::kMaxLineLength)
        return QStringLiteral("line %1 has %2 characters; a report takes at most %3 and the line end")
            .arg(number)
            .arg(textLength)
            .arg(Report::kMaxLineLength - 1);
    return recordFault(line.left(kept), number);
}

} // namespace FirmwareCheck
