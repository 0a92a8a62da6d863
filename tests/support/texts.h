// SPDX-License-Identifier: MIT
#ifndef TEXTS_H
#define TEXTS_H

// What the dialog shows and writes, word for word, as the operator and the
// reader of its diagnostic lines see it: the tests compare against these.

#include <QString>
#include <QStringList>

namespace Texts {

// The window.
inline const QString kTitle = QStringLiteral("Wendrix v1.0 for TQR-7");
inline const QString kVersionCaption = QStringLiteral("Version:");
inline const QString kStatusCaption = QStringLiteral("Status:");
inline const QString kTargetCaption = QStringLiteral("Target:");
inline const QString kSubProgressCaption = QStringLiteral("Sub-Progress:");
inline const QString kOverallProgressCaption = QStringLiteral("Overall Progress:");
inline const QString kUpdateButton = QStringLiteral("Update");

// labelVersion: the main file's version, or the warning.
inline const QString kFirmwareMissing = QStringLiteral("!! One or more firmware files not found !!");
inline const QString kSampleVersion = QStringLiteral("TQR-7 v2.1.4 160315"); // of FirmwareFolder's set

// labelStatus: the link.
inline const QString kNotConnected = QStringLiteral("Device not connected");
inline const QString kNotInUpdateMode = QStringLiteral("Device Not in Firmware Update Mode!!");
inline const QString kReady = QStringLiteral("Ready For Update");
inline const QString kUpdating = QStringLiteral("Updating...");

// labelTarget: nothing, or the target being sent (1 to 4).
inline const QString kNoTarget = QStringLiteral("---");
inline const QStringList kTargetNames = {QStringLiteral("Sub GPIO"), QStringLiteral("Sub USB MIDI 1"),
    QStringLiteral("Sub USB MIDI 2"), QStringLiteral("Main CPU")};

// labelComplete: hidden until an update ends, then how it ended.
inline const QString kResultBeforeAny = QStringLiteral("UPDATE COMPLETE. POWER CYCLE UNIT!!");
inline const QString kComplete = QStringLiteral("Update Complete. Power Cycle Unit!");
inline const QString kCommsError = QStringLiteral("Operation Failed: Internal Comms Error");
inline const QString kNoResponse = QStringLiteral("No response received from unit!");
inline const QString kFileError = QStringLiteral("Operation Failed: Firmware File Error");

// The labels that start the diagnostic lines. The scan's:
inline const QString kFirmwarePath = QStringLiteral("Firmware Path");
inline const QString kFirmwarePresent = QStringLiteral("Firmware Present:");
inline const QString kMainFirmware = QStringLiteral("Main Firmware:");
inline const QString kGpioFirmware = QStringLiteral("GPIO Firmware:");
inline const QString kMidiFirmware = QStringLiteral("MIDI Firmware:");
inline const QString kMainVersion = QStringLiteral("Main Version:");
inline const QString kMainDate = QStringLiteral("Main Date:");
inline const QString kPassedOver = QStringLiteral("Firmware Passed Over:");
inline const QString kTotalLineCount = QStringLiteral("Total Line Count:");
// An update's:
inline const QString kFirmwareFileNote = QStringLiteral("Firmware File Note:"); // lines after the end record
inline const QString kBegin = QStringLiteral("Begin...");
inline const QString kLoadFile = QStringLiteral("Load File");
inline const QString kFileComplete = QStringLiteral("File found to be complete");
inline const QString kFileClosed = QStringLiteral("File Closed");
inline const QString kTargetChanged = QStringLiteral("Target Changed");
inline const QString kTargetChangedTo = QStringLiteral("Target Changed...");
inline const QString kBoardTimeout = QStringLiteral("USB Board Timeout");
inline const QString kRetryData = QStringLiteral("Retry Data: ");
inline const QString kFirmwareFileError = QStringLiteral("Firmware File Error:");
// How an update ended (the result the window shows, quoted), or where it
// stood when the operator closed the window during it:
inline const QString kUpdateEnded = QStringLiteral("Update Ended:");
inline const QString kClosedDuringUpdate = QStringLiteral("Closed During Update:");
// The link's:
inline const QString kLinkLost = QStringLiteral("Link Lost:");
inline const QString kOpenFailed = QStringLiteral("Device Open Failed:");
// The computer around an update's: what could not be asked to hold off sleep
// and shutdown, and an end of the session that came anyway.
inline const QString kInhibitFailed = QStringLiteral("Inhibit Failed:");
inline const QString kSessionEnded = QStringLiteral("Session Ended During Update:");
// The reason logind and the desktop show for the hold.
inline const QString kInhibitReason = QStringLiteral("Updating the TQR-7 firmware");

// A string as a diagnostic line quotes it.
inline QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// A diagnostic line: its label, then a number or a quoted path.
inline QString logLine(const QString &label, int number)
{
    return label + QLatin1Char(' ') + QString::number(number);
}
inline QString logLine(const QString &label, const QString &path)
{
    return label + QLatin1Char(' ') + quoted(path);
}

// The line that says how an update ended.
inline QString endedLine(const QString &result)
{
    return kUpdateEnded + QLatin1Char(' ') + quoted(result);
}

// The line that refuses a firmware file, the reason after its path.
inline QString fileErrorLine(const QString &path, const QString &reason)
{
    return logLine(kFirmwareFileError, path) + QLatin1Char(' ') + reason;
}

// The line naming a unit that is present but cannot be opened: hidapi's
// reason, then, on Linux, where the udev rule is explained.
inline QString openFailedLine(const QString &reason)
{
#ifdef Q_OS_LINUX
    return kOpenFailed + QLatin1Char(' ') + reason
        + QStringLiteral(" (the udev rule gives access: README, \"Using a real unit on Linux\")");
#else
    return kOpenFailed + QLatin1Char(' ') + reason;
#endif
}

} // namespace Texts

#endif // TEXTS_H
