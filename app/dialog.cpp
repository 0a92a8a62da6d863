#include "app/dialog.h"

#include "ui_dialog.h"

#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <hidapi.h>

namespace {
const QString kFirmwareMissing = QStringLiteral("!! One or more firmware files not found !!");
}

Dialog::Dialog(QWidget *parent) : QDialog(parent), ui(new DialogUi)
{
    ui->setupUi(this);
    // Fixed size and no other flag, not even the dialog type: without a
    // parent the window is a plain top-level one.
    setWindowFlags(Qt::MSWindowsFixedSizeDialogHint);
    setWindowIcon(QIcon(QStringLiteral(":/res/wendrix.ico")));

    ui->labelVersion->setText(kFirmwareMissing);
    ui->labelStatus->setText(QStringLiteral("Device not connected"));
    ui->labelTarget->setText(QStringLiteral("---"));
    ui->progressOverall->setValue(0);
    ui->progressSub->setValue(0);
    ui->labelComplete->hide();

    firmwarePresent = false;
    updating = false;
    fileOpen = false;
    fileComplete = false;
    linkState = Disconnected;
    device = nullptr;

    pollTimer = new QTimer();
    flashTimer = new QTimer();
    modeCheckTimer = new QTimer();
    connect(flashTimer, SIGNAL(timeout()), this, SLOT(flashTimeout()));
    connect(pollTimer, SIGNAL(timeout()), this, SLOT(pollUsb()));
    connect(modeCheckTimer, SIGNAL(timeout()), this, SLOT(fwupdateModeCheck()));
    pollTimer->start(Report::kIdlePollMs);
    modeCheckTimer->start(Report::kModeCheckMs);

    scanFirmware();
    if (firmwarePresent) {
        ui->labelVersion->setText(versionText);
        computeTotalLineCount();
    } else {
        ui->labelVersion->setText(kFirmwareMissing);
    }
}

Dialog::~Dialog()
{
    delete ui;
    // The timers have no parent; stop them so no slot runs on a half-destroyed dialog.
    for (QTimer *timer : {pollTimer, flashTimer, modeCheckTimer}) {
        timer->stop();
        delete timer;
    }
    if (device) {
        hid_close(device);
        device = nullptr;
    }
}

void Dialog::on_buttonUpdate_clicked()
{
    startUpdate();
}

void Dialog::refreshStatus()
{
    switch (linkState) {
    case Connected:
        ui->labelStatus->setText(QStringLiteral("Device Not in Firmware Update Mode!!"));
        break;
    case ReadyForUpdate:
        // Keep telling the operator an update runs; the link stays ready throughout.
        ui->labelStatus->setText(
            updating ? QStringLiteral("Updating...") : QStringLiteral("Ready For Update"));
        break;
    default:
        ui->labelStatus->setText(QStringLiteral("Device not connected"));
        break;
    }
    ui->buttonUpdate->setEnabled(linkState == ReadyForUpdate && firmwarePresent && !updating);
}

void Dialog::resetProgress()
{
    ui->progressOverall->setValue(0);
    ui->progressSub->setValue(0);
    ui->labelTarget->setText(QStringLiteral("---"));
}
