// SPDX-License-Identifier: MIT
#include "app/dialog.h"

#include "ui_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSessionManager>
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

    connect(qApp, &QGuiApplication::commitDataRequest, this, &Dialog::refuseSessionEnd);
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (inhibitor.isHeld())
            noteSessionEnd(); // the session ended the program anyway (Windows, X11)
    });
    connect(&inhibitor, &Inhibitor::terminating, this, &Dialog::noteSessionEnd);
    connect(&inhibitor, &Inhibitor::failed, this,
        [](const QString &why) { qDebug() << "Inhibit Failed:" << qUtf8Printable(why); });

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
    // A session ending asks every window to close: refused without a
    // question, which would hold up the shutdown (refuseSessionEnd).
    if (qApp->isSavingSession() || !confirmClose()) {
        event->ignore();
        return;
    }
    qDebug() << "Closed During Update:" << qUtf8Printable(updatePosition());
    inhibitor.release(); // the operator chose to end the update
    QDialog::reject();   // ends the program as a close without an update does
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

// Where the platform lets a program refuse the end of the session, an update
// refuses it; outside one the session ends the program as it always did.
void Dialog::refuseSessionEnd(QSessionManager &manager)
{
    if (updating)
        manager.cancel();
}

void Dialog::noteSessionEnd()
{
    qDebug() << "Session Ended During Update:" << qUtf8Printable(updatePosition());
}

// The target, and the line last sent of the count the unit was told.
QString Dialog::updatePosition() const
{
    return QStringLiteral("target %1, line %2 of %3")
        .arg(target)
        .arg(qMax(lineNumber - 1, 0))
        .arg(fileLineCount);
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
