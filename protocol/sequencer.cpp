// SPDX-License-Identifier: MIT
#include "app/dialog.h"
#include "app/console.h"

#include "ui_dialog.h"

#include <QDebug>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstring>

#include <hidapi.h>

namespace {

// A line as it goes to the unit: a last line without a line end gets one.
QByteArray asSent(QByteArray line)
{
    if (!line.endsWith('\n'))
        line.append('\n');
    return line;
}

} // namespace

void Dialog::startUpdate()
{
    // Check every file before the first byte goes out: a file the unit cannot
    // be given whole and intact must not leave it half updated. What the check
    // read is kept, and the update sends those lines or stops: a file
    // rewritten meanwhile would otherwise mix two images. The MIDI file is
    // read once for both of its targets, so that they get the same image.
    const auto check = [this](const QString &path, CheckedImage &image) {
        image = FirmwareCheck::checkFile(path);
        if (!image.fault.isEmpty())
            firmwareFileError(path, image.fault);
        else if (image.linesAfterEnd > 0)
            qDebug() << "Firmware File Note:" << path << qUtf8Printable(image.afterEndNote());
        return image.fault.isEmpty();
    };
    if (!check(gpioFirmwarePath, checkedGpio) || !check(midiFirmwarePath, checkedMidi)
        || !check(mainFirmwarePath, checkedMain))
        return;
    const int total = checkedGpio.lineCount() + 2 * checkedMidi.lineCount() + checkedMain.lineCount();
    if (total != totalLineCount) {
        // A file changed since start-up: the overall bar measures what is sent now.
        totalLineCount = total;
        qDebug() << "Total Line Count:" << totalLineCount;
    }

    ui->progressOverall->setMaximum(totalLineCount);
    ui->progressOverall->setValue(0);
    ui->labelComplete->hide();
    ui->buttonUpdate->setEnabled(false);
    ui->labelStatus->setText(QStringLiteral("Updating..."));
    overallLineNumber = 1;
    updating = true;
    Console::detach();
    inhibitor.hold(this);
    target = SubGpio;
    qDebug() << "Begin..." << target;
    loadTarget(target);
}

int Dialog::loadTarget(int newTarget)
{
    QString path;
    switch (newTarget) {
    case SubGpio:
        path = gpioFirmwarePath;
        ui->labelTarget->setText(QStringLiteral("Sub GPIO"));
        break;
    case SubUsbMidi1:
        path = midiFirmwarePath;
        ui->labelTarget->setText(QStringLiteral("Sub USB MIDI 1"));
        break;
    case SubUsbMidi2:
        path = midiFirmwarePath;
        ui->labelTarget->setText(QStringLiteral("Sub USB MIDI 2"));
        break;
    default:
        path = mainFirmwarePath;
        ui->labelTarget->setText(QStringLiteral("Main CPU"));
        break;
    }
    // The count the check made: the reports carry the line count of the
    // image that was checked, whatever the file holds by now.
    fileLineCount = checkedImage(newTarget).lineCount();
    qDebug() << "Load File" << path;
    const QString fault = FirmwareCheck::open(firmwareFile, path, QIODevice::ReadOnly | QIODevice::Text);
    if (!fault.isEmpty()) {
        // Gone or replaced since the check: end the update rather than wait for nothing.
        firmwareFileError(path, fault);
        return 1;
    }
    ui->progressSub->setMaximum(fileLineCount);
    ui->progressSub->setValue(0);
    fileOpen = true;
    fileComplete = false;
    lineNumber = 1;
    sendNextLine();
    return 0;
}

void Dialog::sendNextLine()
{
    retryCount = 1;
    std::memset(outReport, 0, sizeof outReport);

    // Only a file changed since the check can end, break or outgrow the
    // 16-bit line number before its end record, or hold another line than the
    // one checked: that line is not sent.
    const bool atEnd = firmwareFile.atEnd();
    QByteArray line;
    qint64 textLength = 0;
    if (!atEnd)
        line = FirmwareCheck::readLine(firmwareFile, textLength);
    const QString number = QString::number(lineNumber);
    QString fault;
    if (lineNumber > Report::kMaxFileLines)
        fault = QStringLiteral("more than 65,535 lines");
    else if (atEnd)
        fault = QStringLiteral("no end record");
    else if (line.isEmpty())
        fault = QStringLiteral("read error in line %1").arg(lineNumber);
    else
        fault = FirmwareCheck::lineFault(line, textLength, lineNumber);
    // Compared as sent, so that a final line end added or removed since the
    // check, which sends the same bytes, is no difference.
    if (!fault.isEmpty())
        fault += QStringLiteral(" (changed since the check)");
    else if (asSent(line) != asSent(checkedImage(target).line(lineNumber)))
        fault = QStringLiteral("line %1 differs from the file checked when Update was pressed").arg(number);
    if (!fault.isEmpty()) {
        firmwareFileError(firmwareFile.fileName(), fault);
        return;
    }

    outReport[Report::kTargetByte] = static_cast<unsigned char>(target);
    outReport[Report::kLineNumberHighByte] = static_cast<unsigned char>(lineNumber >> 8);
    outReport[Report::kLineNumberLowByte] = static_cast<unsigned char>(lineNumber);
    outReport[Report::kLineCountHighByte] = static_cast<unsigned char>(fileLineCount >> 8);
    outReport[Report::kLineCountLowByte] = static_cast<unsigned char>(fileLineCount);
    line = asSent(line); // a last line without a line end still ends in CR
    outReport[Report::kLengthByte] = static_cast<unsigned char>(line.size());
    std::memcpy(outReport + Report::kTextByte, line.constData(), static_cast<size_t>(line.size()));
    outReport[Report::kTextByte + line.size() - 1] = Report::kLineEnd;

    if (outReport[Report::kTextByte + Report::kRecordTypeIndex] == Report::kEndRecordType) {
        fileComplete = true;
        qDebug() << "File found to be complete";
    }
    transmitReport();

    ++lineNumber;
    ++overallLineNumber;
}

void Dialog::transmitReport()
{
    // A retransmission sends the same buffer; only the attempt number changes.
    outReport[Report::kAttemptByte] = static_cast<unsigned char>(retryCount);
    outReport[Report::kCodeByte] = Report::kLineDataCode;
    if (retryCount > 1)
        qDebug() << "Retry Data: " << retryCount;
    if (hid_write(device, outReport, Report::kOutputSize) == -1) {
        // The wait still runs: its time-out ending tells the operator.
        logLinkFailure("hid_write");
        linkLost();
        closeFirmwareFile();
        refreshStatus();
    }
    flashTimer->start(Report::kResponseTimeoutMs);
    ui->progressSub->setValue(lineNumber);
    ui->progressOverall->setValue(overallLineNumber);
}

void Dialog::nextTarget()
{
    qDebug() << "Target Changed";
    if (target >= MainCpu) {
        updateComplete();
    } else {
        ++target;
        loadTarget(target);
        qDebug() << "Target Changed..." << target;
    }
}

void Dialog::closeFirmwareFile()
{
    if (firmwareFile.isOpen())
        firmwareFile.close();
    fileOpen = false;
    qDebug() << "File Closed";
}

void Dialog::updateComplete()
{
    endUpdate(QStringLiteral("Update Complete. Power Cycle Unit!"), KeepProgress);
}

void Dialog::commsError()
{
    endUpdate(QStringLiteral("Operation Failed: Internal Comms Error"));
}

void Dialog::flashTimeout()
{
    endUpdate(QStringLiteral("No response received from unit!"));
}

void Dialog::firmwareFileError(const QString &path, const QString &reason)
{
    Console::reattach(); // so that the console shows this line too
    // The reason follows the path unquoted, on the same line.
    qDebug() << "Firmware File Error:" << path << qUtf8Printable(reason);
    // Refused before the update, or a target's file that would not open: no
    // file to close, and no "File Closed".
    endUpdate(QStringLiteral("Operation Failed: Firmware File Error"), ResetProgress, firmwareFile.isOpen());
}

// What every ending does. The answer wait stops, so the ending runs once; the
// file is closed and "File Closed" written also where it is closed already
// (after the last end record's acknowledgement, or a failed write); a failure
// empties the bars, and a complete update leaves them full.
void Dialog::endUpdate(const QString &result, Progress progress, bool closeFile)
{
    Console::reattach();
    inhibitor.release();
    flashTimer->stop();
    if (closeFile)
        closeFirmwareFile();
    updating = false;
    ui->labelComplete->setText(result);
    ui->labelComplete->show();
    if (progress == ResetProgress)
        resetProgress();
    refreshStatus();
    qDebug() << "Update Ended:" << result; // the log says how, whichever way
}

const CheckedImage &Dialog::checkedImage(int updateTarget) const
{
    switch (updateTarget) {
    case SubGpio:
        return checkedGpio;
    case SubUsbMidi1:
    case SubUsbMidi2:
        return checkedMidi;
    default:
        return checkedMain;
    }
}
