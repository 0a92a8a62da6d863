// SPDX-License-Identifier: MIT
#include "app/dialog.h"

#include "ui_dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <hidapi.h>

namespace {
const QString kFirmwareMissing = QStringLiteral("!! One or more firmware files not found !!");
}

Dialog::Dialog(QWidget *parent)
    : Dialog(QCoreApplication::applicationDirPath() + QStringLiteral("/firmware"), parent)
{ }

Dialog::Dialog(const QString &firmwareFolder, QWidget *parent)
    : QDialog(parent), ui(new DialogUi), firmwareDir(firmwareFolder)
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

void Dialog::reject()
{
    if (!updating)
        QDialog::reject();
}

void Dialog::closeEvent(QCloseEvent *event)
{
    if (!updating) {
        QDialog::closeEvent(event);
        return;
    }
    if (!confirmClose()) {
        event->ignore();
        return;
    }
    QDialog::reject(); // ends the program as a close without an update does
    event->accept();
}

// The update goes on while the question is shown. If it ends meanwhile, the
// question is withdrawn and the window stays, showing how it ended.
bool Dialog::confirmClose()
{
    QMessageBox question(QMessageBox::Warning, windowTitle(),
        QStringLiteral("An update is running. If Wendrix closes now, the unit is left with part of its "
                       "new firmware and must be updated again before it can be used.\n\n"
                       "Close Wendrix anyway?"),
        QMessageBox::Yes | QMessageBox::No, this);
    question.setDefaultButton(QMessageBox::No);
    question.setEscapeButton(QMessageBox::No);
    closeQuestion = &question;
    const int answer = question.exec();
    closeQuestion = nullptr;
    return answer == QMessageBox::Yes && updating;
}

void Dialog::refreshStatus()
{
    if (closeQuestion && !updating)
        closeQuestion->reject(); // there is no update left to ask about
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
