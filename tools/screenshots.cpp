// Renders the real dialog in every state an operator sees, against the
// simulated unit, to PNG files: screenshots <folder>.

#include "app/dialog.h"
#include "sim/tqr7hid.h"
#include "tests/support/firmwarefolder.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedPointer>
#include <QTest>

#include <cstdio>
#include <functional>

namespace {

struct Shot {
    const char *name;
    std::function<void(FirmwareFolder &)> prepare; // firmware and unit before the dialog
    std::function<bool(Dialog &)> ready;           // the moment to take the picture
    bool pressUpdate;
};

template <typename T>
T *child(Dialog &dialog, const char *name)
{
    return dialog.findChild<T *>(QString::fromLatin1(name));
}

QString status(Dialog &dialog)
{
    return child<QLabel>(dialog, "labelStatus")->text();
}

bool resultShown(Dialog &dialog, const char *text)
{
    QLabel *label = child<QLabel>(dialog, "labelComplete");
    return label->isVisible() && label->text() == QLatin1String(text)
        && child<QPushButton>(dialog, "buttonUpdate")->isEnabled();
}

void sampleSet(FirmwareFolder &firmware)
{
    firmware.writeSet(60, 80, 240);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    QDir().mkpath(out);

    const QList<Shot> shots = {
        {"no-firmware", [](FirmwareFolder &) { FirmwareFolder::removeLink(); Tqr7Hid::unplug(); },
         [](Dialog &d) { return status(d) == QLatin1String("Device not connected"); }, false},
        {"no-unit", [](FirmwareFolder &f) { sampleSet(f); Tqr7Hid::unplug(); },
         [](Dialog &d) { return status(d) == QLatin1String("Device not connected"); }, false},
        {"not-in-update-mode", [](FirmwareFolder &f) { sampleSet(f); Tqr7Hid::setUpdateMode(false); },
         [](Dialog &d) { return status(d) == QLatin1String("Device Not in Firmware Update Mode!!"); }, false},
        {"ready", sampleSet,
         [](Dialog &d) { return child<QPushButton>(d, "buttonUpdate")->isEnabled(); }, false},
        {"updating", sampleSet,
         [](Dialog &d) {
             return child<QLabel>(d, "labelTarget")->text() == QLatin1String("Sub USB MIDI 1")
                 && child<QProgressBar>(d, "progressSub")->value() >= 50;
         }, true},
        {"complete", sampleSet,
         [](Dialog &d) { return resultShown(d, "Update Complete. Power Cycle Unit!"); }, true},
        {"comms-error",
         [](FirmwareFolder &f) {
             sampleSet(f);
             Tqr7Hid::planAnswer(SubUsbMidi2, 30, 0, Tqr7Hid::Answer::BoardTimeout);
         },
         [](Dialog &d) { return resultShown(d, "Operation Failed: Internal Comms Error"); }, true},
        {"no-response",
         [](FirmwareFolder &f) {
             sampleSet(f);
             Tqr7Hid::planAnswer(MainCpu, 100, 1, Tqr7Hid::Answer::Silence);
         },
         [](Dialog &d) { return resultShown(d, "No response received from unit!"); }, true},
        {"firmware-file-error",
         [](FirmwareFolder &f) {
             sampleSet(f);
             f.write(QStringLiteral("TQR7_MIDI_0-2-0_151102.hex"), Hex::join(Hex::image(10).mid(0, 9)));
         },
         [](Dialog &d) { return resultShown(d, "Operation Failed: Firmware File Error"); }, true},
    };

    int failures = 0;
    for (const Shot &shot : shots) {
        Tqr7Hid::reset();
        FirmwareFolder firmware;
        shot.prepare(firmware);
        Dialog dialog;
        dialog.show();
        bool ok = QTest::qWaitForWindowExposed(&dialog);
        if (shot.pressUpdate) {
            QPushButton *button = child<QPushButton>(dialog, "buttonUpdate");
            ok = ok && QTest::qWaitFor([&] { return button->isEnabled(); }, 10000);
            if (ok)
                button->click();
        }
        ok = ok && QTest::qWaitFor([&] { return shot.ready(dialog); }, 60000);
        const QString file = out + QLatin1Char('/') + QLatin1String(shot.name) + QStringLiteral(".png");
        if (!ok || !dialog.grab().save(file)) {
            std::fprintf(stderr, "screenshots: %s: the state was not reached\n", shot.name);
            ++failures;
            continue;
        }
        std::printf("%s\n", qPrintable(file));
    }
    FirmwareFolder::removeLink();
    return failures == 0 ? 0 : 1;
}
