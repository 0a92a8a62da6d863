// SPDX-License-Identifier: MIT
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
            openFailure.clear();
            openFailurePresent = false;
            linkState = Connected;
            hid_set_nonblocking(device, 1);
            pollTimer->start(Report::kConnectedPollMs);
        } else {
            noteOpenFailure();
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
    switch (inReport[0]) {
    case Report::kAcknowledge:
        // An answer outside an update belongs to no report of ours: acting on
        // it would send firmware after the update ended, or a stale buffer.
        if (!updating)
            break;
        flashTimer->stop();
        if (fileComplete) {
            closeFirmwareFile();
            nextTarget();
        } else if (fileOpen) {
            sendNextLine();
        }
        break;
    case Report::kBoardTimeout:
        if (!updating)
            break;
        qDebug() << "USB Board Timeout" << retryCount;
        if (retryCount >= Report::kMaxAttempts) {
            commsError();
        } else {
            ++retryCount;
            transmitReport();
        }
        break;
    case Report::kUpdateModeAnswer:
        linkState = ReadyForUpdate;
        modeCheckTimer->stop();
        refreshStatus();
        break;
    default:
        break; // no answer of the unit's: ignored
    }
}

namespace {

// hidapi's words for the last failure on dev, or of hid_open's with null.
QString hidReason(hid_device *dev)
{
    const wchar_t *error = hid_error(dev);
    return error ? QString::fromWCharArray(error) : QStringLiteral("no error text");
}

} // namespace

// The window says "Device not connected" whether no unit is plugged in or one
// cannot be opened; the log tells them apart. Only hidapi's reason is read on
// every failure (its words differ between versions, so they are not matched):
// the unit is looked for once when the reason changes, and the line is written
// on the reason's second failure, so that a node udev has not yet given access
// to on plug-in, or a unit plugged in between the two calls, writes nothing.
void Dialog::noteOpenFailure()
{
    const QString why = hidReason(nullptr); // before hid_enumerate replaces it
    if (why != openFailure) {
        openFailure = why;
        hid_device_info *found = hid_enumerate(Report::kVendorId, Report::kProductId);
        openFailurePresent = found != nullptr;
        hid_free_enumeration(found);
        return;
    }
    if (!openFailurePresent)
        return;
    openFailurePresent = false;
#ifdef Q_OS_LINUX
    qDebug().noquote() << "Device Open Failed:" << why
                       << "(the udev rule gives access: README, \"Using a real unit on Linux\")";
#else
    qDebug().noquote() << "Device Open Failed:" << why;
#endif
}

// The window can only say "Device not connected"; hidapi's own words say why
// the unit was lost (gone, a time-out, no permission), for whoever reads the log.
void Dialog::logLinkFailure(const char *call)
{
    qDebug().noquote() << "Link Lost:" << QLatin1String(call) << "failed:" << hidReason(device);
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
