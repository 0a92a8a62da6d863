#include "app/dialog.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cctype>

namespace {

const QString kMainPrefix = QStringLiteral("TQR7_MAIN");
const QString kGpioPrefix = QStringLiteral("TQR7_GPIO");
const QString kMidiPrefix = QStringLiteral("TQR7_MIDI");
constexpr int kPrefixLength = 9;
constexpr int kVersionPosition = 10; // e.g. "2-1-4"
constexpr int kVersionLength = 5;
constexpr int kDatePosition = 16; // e.g. "160315"
constexpr int kDateLength = 6;
// A line of a report and a CR LF line end, with room to spare: the longest
// line that is ever kept whole.
constexpr int kLineReadLimit = Report::kMaxLineLength + 8;
// The rest of a longer line is read in pieces this large and dropped: a
// quarter of what the file object buffers anyway, and few enough calls that
// gigabytes without a line end take seconds, not minutes.
constexpr int kSkipChunk = 4096;

// "TQR7_MAIN_2-1-10_160401.hex": the version's three numbers may have more
// than one digit each. A name of another shape is read at fixed positions.
void readMainName(const QString &name, QString &version, QString &date)
{
    static const QRegularExpression fields(QStringLiteral("^TQR7_MAIN_([0-9]+-[0-9]+-[0-9]+)_([0-9]{6})"));
    const QRegularExpressionMatch match = fields.match(name);
    if (match.hasMatch()) {
        version = match.captured(1);
        date = match.captured(2);
    } else {
        version = name.mid(kVersionPosition, kVersionLength);
        date = name.mid(kDatePosition, kDateLength);
    }
}

QString hexByte(int value)
{
    return QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

bool isEndRecord(const QByteArray &line)
{
    return line.size() > Report::kRecordTypeIndex
        && line.at(Report::kRecordTypeIndex) == Report::kEndRecordType;
}

} // namespace

void Dialog::scanFirmware()
{
    firmwarePresent = false;
    bool mainFound = false;
    bool gpioFound = false;
    bool midiFound = false;

    firmwareDir = QCoreApplication::applicationDirPath() + QStringLiteral("/firmware");
    const QDir dir(firmwareDir);
    const bool dirExists = dir.exists();

    // Default filter and order: no hidden entries, names sorted without regard
    // to case, so the last file of a kind in that order wins. The files it
    // wins over are named afterwards: "2-1-9" sorts after "2-1-10", and an
    // editor's "TQR7_MAIN...hex~" after the file it copies.
    QStringList passedOver;
    const QFileInfoList entries = dir.entryInfoList();
    for (const QFileInfo &entry : entries) {
        if (!entry.isFile())
            continue;
        const QString name = entry.fileName();
        const QString prefix = name.left(kPrefixLength);
        if (prefix == kMainPrefix) {
            if (mainFound)
                passedOver << mainFirmwarePath;
            mainFound = true;
            readMainName(name, mainVersion, mainDate);
            mainFirmwarePath = entry.filePath();
        }
        if (prefix == kGpioPrefix) {
            if (gpioFound)
                passedOver << gpioFirmwarePath;
            gpioFound = true;
            gpioFirmwarePath = entry.filePath();
        }
        if (prefix == kMidiPrefix) {
            if (midiFound)
                passedOver << midiFirmwarePath;
            midiFound = true;
            midiFirmwarePath = entry.filePath();
        }
    }

    firmwarePresent = dirExists && mainFound && gpioFound && midiFound;

    qDebug() << "Firmware Path" << firmwareDir;
    qDebug() << "Firmware Present:" << firmwarePresent;
    qDebug() << "Main Firmware:" << mainFirmwarePath;
    qDebug() << "GPIO Firmware:" << gpioFirmwarePath;
    qDebug() << "MIDI Firmware:" << midiFirmwarePath;
    qDebug() << "Main Version:" << mainVersion;
    qDebug() << "Main Date:" << mainDate;
    for (const QString &path : passedOver)
        qDebug() << "Firmware Passed Over:" << path;

    // "2-1-4" and "160315" become "TQR-7 v2.1.4 160315", "2-1-10" becomes
    // "v2.1.10"; otherwise the characters at 0, 2 and 4 are taken, and missing
    // characters add nothing.
    versionText.clear();
    versionText += QStringLiteral("TQR-7 v");
    static const QRegularExpression numbers(QStringLiteral("^[0-9]+-[0-9]+-[0-9]+$"));
    if (numbers.match(mainVersion).hasMatch()) {
        versionText += QString(mainVersion).replace(QLatin1Char('-'), QLatin1Char('.'));
    } else {
        versionText += mainVersion.mid(0, 1);
        versionText += QLatin1Char('.');
        versionText += mainVersion.mid(2, 1);
        versionText += QLatin1Char('.');
        versionText += mainVersion.mid(4, 1);
    }
    versionText += QLatin1Char(' ');
    versionText += mainDate;
}

int Dialog::countFileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    int count = 0;
    bool endFound = false;
    while (!endFound && !file.atEnd()) {
        qint64 textLength = 0;
        const QByteArray line = readFirmwareLine(file, textLength);
        if (line.isEmpty())
            break; // a read error, not a line
        endFound = isEndRecord(line);
        ++count;
    }
    file.close();
    return count;
}

// One line with its line end, a CR LF read as LF. A line too long for a
// report is refused anyway, so only its first bytes are kept and the rest is
// counted: a file without line ends costs no more memory than a normal one.
// textLength gets the number of characters before the line end. Empty: a
// read error.
QByteArray Dialog::readFirmwareLine(QIODevice &file, qint64 &textLength)
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
    --textLength;
    if (beforeLast != '\r')
        return line;
    --textLength;
    if (line.endsWith("\r\n"))
        line.remove(line.size() - 2, 1);
    return line;
}

void Dialog::computeTotalLineCount()
{
    // The MIDI file goes to both MIDI sub-processors, so it counts twice.
    totalLineCount = countFileLines(gpioFirmwarePath);
    totalLineCount += countFileLines(midiFirmwarePath);
    totalLineCount += countFileLines(midiFirmwarePath);
    totalLineCount += countFileLines(mainFirmwarePath);
    qDebug() << "Total Line Count:" << totalLineCount;
}

// Refuses a file before anything is sent when it would hang the update, wrap
// the 16-bit line numbers, need a line that does not fit a report or hold a
// damaged record. Lines after the end record are never sent, nor read.
QString Dialog::checkFirmwareFile(const QString &path, int &lineCount)
{
    // Read without text mode: it would drop a CR inside a line unseen, and
    // the line sent would not be the file's.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return openFault(path);
    if (file.atEnd())
        return QStringLiteral("empty file");
    int count = 0;
    while (!file.atEnd()) {
        qint64 textLength = 0;
        const QByteArray line = readFirmwareLine(file, textLength);
        ++count;
        if (line.isEmpty())
            return QStringLiteral("read error in line %1").arg(count);
        if (count > Report::kMaxFileLines)
            return QStringLiteral("more than 65,535 lines");
        QString fault = lineFault(line, textLength, count);
        if (!fault.isEmpty())
            return fault;
        if (isEndRecord(line)) {
            lineCount = count;
            return QString();
        }
    }
    return QStringLiteral("no end record");
}

// A line goes to the unit whole, as text: at most 56 bytes with its line end
// (one is added to a last line without), no control or NUL byte, which marks
// a damaged or binary file, and an intact Intel HEX record. A control byte is
// named first: it says more about the file than the length it makes. Of a
// line too long to keep, only the bytes kept are looked at.
QString Dialog::lineFault(const QByteArray &line, qint64 textLength, int number)
{
    const int kept = line.endsWith('\n') ? line.size() - 1 : line.size();
    for (int i = 0; i < kept; ++i) {
        const auto c = static_cast<unsigned char>(line.at(i));
        if (c < 0x20 || c == 0x7F)
            return QStringLiteral("a control byte (0x%1) in line %2 at character %3")
                .arg(hexByte(c))
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

// The unit takes each line as text and can only acknowledge it or report a
// bus time-out: a damaged record would be flashed as it is, or refused by a
// target half-way through the update. So every record is checked here: a
// ':', pairs of hex digits, a byte count that matches, a known record type
// and a checksum that makes its bytes sum to 0. A blank line or a trailing
// space is no record either.
QString Dialog::recordFault(const QByteArray &text, int number)
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
        return where + QStringLiteral("not an Intel HEX record (%1 hex digits; a record has at least 10)").arg(digits);
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
        return where + QStringLiteral("checksum 0x%1, the record needs 0x%2").arg(hexByte(checksum), hexByte(needed));
    return QString();
}

QString Dialog::openFault(const QString &path)
{
    const QFileInfo info(path);
    if (path.isEmpty())
        return QStringLiteral("no file of this kind was found");
    if (!info.exists())
        return QStringLiteral("cannot be opened: no such file");
    if (info.isDir())
        return QStringLiteral("cannot be opened: it is a folder");
    if (!info.isReadable())
        return QStringLiteral("cannot be opened: not readable");
    return QStringLiteral("cannot be opened");
}
