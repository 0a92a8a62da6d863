// SPDX-License-Identifier: MIT
#ifndef DIALOG_H
#define DIALOG_H

// The names below that do not say what they do:
//   pollUsb            opens the unit while none is open, then reads its
//                      answers, one per tick (pollTimer: 250 ms, then 10 ms)
//   fwupdateModeCheck  sends the query "are you in update mode?" once a
//                      second until the unit says yes (modeCheckTimer)
//   flashTimer         the 500 ms wait for the answer to the report in
//                      flight; flashTimeout is its expiry, the time-out ending
//   retryCount         the attempt number of the report in flight, 1 to 3
//   lineNumber         the number of the next line of the current file
//   target             1 GPIO, 2 and 3 the two MIDI processors, 4 main CPU
//   labelComplete      shows how the last update ended, whichever way
//   labelVersion       the firmware found, or that some is missing

#include <QDialog>
#include <QFile>
#include <QString>

#include "app/inhibitor.h"
#include "imageset/firmwarecheck.h"
#include "protocol/report.h"

class QCloseEvent;
class QMessageBox;
class QSessionManager;
class QTimer;
namespace Ui {
class Dialog;
}
// The widget set: the form ui/dialog.ui as the build compiles it.
using DialogUi = Ui::Dialog;
struct hid_device_;
typedef struct hid_device_ hid_device;

// The updater's one window. It owns every piece of state; each protocol step
// is one private member, grouped below by the folder that implements it.
class Dialog : public QDialog
{
    Q_OBJECT

public:
    // The firmware is in the folder "firmware" beside the executable.
    explicit Dialog(QWidget *parent = nullptr);
    // The firmware is in the folder given: the tests and tools pass their own.
    explicit Dialog(const QString &firmwareFolder, QWidget *parent = nullptr);
    ~Dialog() override;

    // While an update runs, Escape does nothing and closing the window asks
    // first: either would otherwise end the program with the unit half written.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    // The only ways in from the event loop; their order is their meta-object index.
    void pollUsb();                 // pollTimer
    void flashTimeout();            // flashTimer
    void fwupdateModeCheck();       // modeCheckTimer
    void on_buttonUpdate_clicked(); // buttonUpdate, connected by name

private:
    // imageset/: firmware directory scan and line count (the check: firmwarecheck.h)
    void scanFirmware();
    void computeTotalLineCount();
    static int countFileLines(const QString &path);

    // protocol/: device link
    void handleInputReport();
    void noteOpenFailure();
    void logLinkFailure(const char *call);
    void linkLost();

    // protocol/: update sequencer
    void startUpdate();
    int loadTarget(int newTarget);
    void nextTarget();
    void sendNextLine();
    void transmitReport();
    void closeFirmwareFile();
    void updateComplete();
    void commsError();
    // Refused before, or broken during, an update; the reason goes to the log.
    void firmwareFileError(const QString &path, const QString &reason);
    enum Progress { ResetProgress, KeepProgress };
    void endUpdate(const QString &result, Progress progress = ResetProgress, bool closeFile = true);
    const CheckedImage &checkedImage(int updateTarget) const;

    // app/: status presentation, and the question a close during an update asks
    void refreshStatus();
    void resetProgress();
    bool confirmClose();
    // app/: the computer around an update. A session's end is refused while
    // an update runs; one that comes anyway is logged with where it stood.
    void refuseSessionEnd(QSessionManager &manager);
    void noteSessionEnd();
    QString updatePosition() const;

    DialogUi *ui = nullptr;
    QTimer *pollTimer = nullptr;
    QTimer *flashTimer = nullptr;
    QTimer *modeCheckTimer = nullptr;
    hid_device *device = nullptr;
    unsigned char outReport[Report::kOutputSize] = {};
    unsigned char inReport[Report::kInputSize] = {};
    int bytesRead = 0;
    int linkState = Disconnected;
    // hidapi's reason the last hid_open failed (null once a unit opens), and
    // whether it came with the unit present and its line is yet to be written.
    QString openFailure;
    bool openFailurePresent = false;
    FirmwareFile firmwareFile;
    QString mainFirmwarePath;
    QString mainVersion;
    QString mainDate;
    QString gpioFirmwarePath;
    QString midiFirmwarePath;
    QString firmwareDir;
    QString versionText;
    bool firmwarePresent = false;
    // During an update: updating from the press of Update to the ending (a
    // lost link clears it at once; the time-out ending follows); fileOpen
    // while a target's file is open for sending, as firmwareFile.isOpen();
    // fileComplete from the sending of that file's end record until the next
    // file opens, and on after the update. Update is offered only while
    // updating is clear.
    bool updating = false;
    int totalLineCount = 0;
    int fileLineCount = 0;
    int target = 0;
    int lineNumber = 0;
    int overallLineNumber = 0;
    int retryCount = 0;
    bool fileOpen = false;
    bool fileComplete = false;
    // The files as the check read them when Update was pressed: each line
    // sent is compared with its checked line first.
    CheckedImage checkedGpio;
    CheckedImage checkedMidi;
    CheckedImage checkedMain;
    QMessageBox *closeQuestion = nullptr; // while it is shown
    Inhibitor inhibitor;                  // held while updating, unless the operator chose to close
};

#endif // DIALOG_H
