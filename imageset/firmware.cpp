#include "app/dialog.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

const QString kMainPrefix = QStringLiteral("TQR7_MAIN");
const QString kGpioPrefix = QStringLiteral("TQR7_GPIO");
const QString kMidiPrefix = QStringLiteral("TQR7_MIDI");
constexpr int kPrefixLength = 9;
constexpr int kVersionPosition = 10; // e.g. "2-1-4"
constexpr int kVersionLength = 5;
constexpr int kDatePosition = 16; // e.g. "160315"
constexpr int kDateLength = 6;

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
        const QByteArray line = file.readLine();
        if (line.isEmpty())
            break; // a read error, not a line
        endFound = isEndRecord(line);
        ++count;
    }
    file.close();
    return count;
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
// the 16-bit line numbers or need a line that does not fit a report.
QString Dialog::checkFirmwareFile(const QString &path)
{
    // Read without text mode: it would drop a CR inside a line unseen, and
    // the line sent would not be the file's. A CR LF line end reads as LF.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return openFault(path);
    if (file.atEnd())
        return QStringLiteral("empty file");
    int count = 0;
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        ++count;
        if (line.isEmpty())
            return QStringLiteral("read error in line %1").arg(count);
        if (line.endsWith("\r\n"))
            line.remove(line.size() - 2, 1);
        if (count > Report::kMaxFileLines)
            return QStringLiteral("more than 65,535 lines");
        QString fault = lineFault(line, count);
        if (!fault.isEmpty())
            return fault;
        if (isEndRecord(line))
            return QString();
    }
    return QStringLiteral("no end record");
}

// A line goes to the unit whole, as text: at most 56 bytes with its line end
// (one is added to a last line without), and no control or NUL byte, which no
// Intel HEX record has and which marks a damaged or binary file. A control
// byte is named first: it says more about the file than the length it makes.
QString Dialog::lineFault(const QByteArray &line, int number)
{
    const int text = line.endsWith('\n') ? line.size() - 1 : line.size();
    for (int i = 0; i < text; ++i) {
        const auto c = static_cast<unsigned char>(line.at(i));
        if (c < 0x20 || c == 0x7F)
            return QStringLiteral("a control byte (0x%1) in line %2 at character %3")
                .arg(QString::number(c, 16).toUpper().rightJustified(2, QLatin1Char('0')))
                .arg(number)
                .arg(i + 1);
    }
    if (text + 1 > Report::kMaxLineLength)
        return QStringLiteral("line %1 has %2 characters; a report takes at most %3 and the line end")
            .arg(number)
            .arg(text)
            .arg(Report::kMaxLineLength - 1);
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
