// SPDX-License-Identifier: MIT
#include "app/dialog.h"
#include "imageset/firmwarecheck.h"

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

} // namespace

void Dialog::scanFirmware()
{
    firmwarePresent = false;
    bool mainFound = false;
    bool gpioFound = false;
    bool midiFound = false;

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
    return FirmwareCheck::countLines(path);
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
