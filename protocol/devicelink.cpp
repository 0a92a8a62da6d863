#include "app/dialog.h"

#include <QDebug>
#include <QTimer>

#include <cstring>

#include <hidapi.h>

void Dialog::pollUsb()
{
    if (linkState == Disconnected) {
        device = hid_open(Report::kVendorId, Report::kProductId, nullptr);
        if (device) {
            linkState = Connected;
            hid_set_nonblocking(device, 1);
            pollTimer->start(Report::kConnectedPollMs);
        }
    } else {
        // At most one report per tick, and never waiting for one.
        bytesRead = hid_read(device, inReport, Report::kInputSize);
        if (bytesRead == -1) {
            logLinkFailure("hid_read");
            linkLost();
        } else if (bytesRead > 0) {
            handleInputReport();
        }
    }
    refreshStatus();
}

void Dialog::fwupdateModeCheck()
{
    if (linkState == Disconnected)
        return;
    std::memset(outReport, 0, sizeof outReport);
    outReport[Report::kQueryByte] = Report::kQueryCode;
    if (hid_write(device, outReport, Report::kOutputSize) == -1) {
        logLinkFailure("hid_write");
        linkLost();
        refreshStatus();
    }
}

void Dialog::handleInputReport()
{
    if (inReport[0] == Report::kAcknowledge) {
        // An answer outside an update belongs to no report of ours: acting on
        // it would send firmware after the update ended, or a stale buffer.
        if (!updating)
            return;
        flashTimer->stop();
        if (fileComplete) {
            closeFirmwareFile();
            nextTarget();
        } else if (fileOpen) {
            sendNextLine();
        }
    }
    if (inReport[0] == Report::kBoardTimeout) {
        if (!updating)
            return;
        qDebug() << "USB Board Timeout" << retryCount;
        if (retryCount >= Report::kMaxAttempts) {
            commsError();
        } else {
            ++retryCount;
            transmitReport();
        }
    }
    if (inReport[0] == Report::kUpdateModeAnswer) {
        linkState = ReadyForUpdate;
        modeCheckTimer->stop();
        refreshStatus();
    }
}

// The window can only say "Device not connected"; hidapi's own words say why
// the unit was lost (gone, a time-out, no permission), for whoever reads the log.
void Dialog::logLinkFailure(const char *call)
{
    const wchar_t *error = hid_error(device);
    const QString why = error ? QString::fromWCharArray(error) : QStringLiteral("no error text");
    qDebug().noquote() << "Link Lost:" << QLatin1String(call) << "failed:" << why;
}

void Dialog::linkLost()
{
    hid_close(device);
    device = nullptr;
    linkState = Disconnected;
    updating = false;
    resetProgress();
    pollTimer->start(Report::kIdlePollMs);
    modeCheckTimer->start(Report::kModeCheckMs);
    refreshStatus();
}
