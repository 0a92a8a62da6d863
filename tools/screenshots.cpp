// SPDX-License-Identifier: MIT
// Renders the real dialog in every state an operator sees, against the
// simulated unit, to PNG files: screenshots <folder>.

#include "app/dialog.h"
#include "sim/tqr7hid.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/texts.h"
#include "tests/support/widgets.h"

#include <QApplication>
#include <QDir>
#include <QScopedPointer>
#include <QTest>

#include <cstdio>
#include <functional>

namespace {

using namespace Texts;

struct Shot
{
    const char *name;
    std::function<void(FirmwareFolder &)> prepare;    // firmware and unit before the dialog
    std::function<bool(const DialogWidgets &)> ready; // the moment to take the picture
    bool pressUpdate;
};

bool resultShown(const DialogWidgets &w, const QString &text)
{
    return w.complete->isVisible() && w.complete->text() == text && w.button->isEnabled();
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
        {"no-firmware",
            [](FirmwareFolder &f) {
                QDir().rmdir(f.path());
                Tqr7Hid::unplug();
            },
            [](const DialogWidgets &w) { return w.status->text() == kNotConnected; }, false},
        {"no-unit",
            [](FirmwareFolder &f) {
                sampleSet(f);
                Tqr7Hid::unplug();
            },
            [](const DialogWidgets &w) { return w.status->text() == kNotConnected; }, false},
        {"not-in-update-mode",
            [](FirmwareFolder &f) {
                sampleSet(f);
                Tqr7Hid::setUpdateMode(false);
            },
            [](const DialogWidgets &w) { return w.status->text() == kNotInUpdateMode; }, false},
        {"ready", sampleSet, [](const DialogWidgets &w) { return w.button->isEnabled(); }, false},
        {"updating", sampleSet,
            [](const DialogWidgets &w) {
                return w.target->text() == kTargetNames.at(SubUsbMidi1 - 1) && w.sub->value() >= 50;
            },
            true},
        {"complete", sampleSet, [](const DialogWidgets &w) { return resultShown(w, kComplete); }, true},
        {"comms-error",
            [](FirmwareFolder &f) {
                sampleSet(f);
                Tqr7Hid::planAnswer(SubUsbMidi2, 30, 0, Tqr7Hid::Answer::BoardTimeout);
            },
            [](const DialogWidgets &w) { return resultShown(w, kCommsError); }, true},
        {"no-response",
            [](FirmwareFolder &f) {
                sampleSet(f);
                Tqr7Hid::planAnswer(MainCpu, 100, 1, Tqr7Hid::Answer::Silence);
            },
            [](const DialogWidgets &w) { return resultShown(w, kNoResponse); }, true},
        {"firmware-file-error",
            [](FirmwareFolder &f) {
                sampleSet(f);
                f.write(FirmwareFolder::kMidiName, Hex::join(Hex::image(10).mid(0, 9)));
            },
            [](const DialogWidgets &w) { return resultShown(w, kFileError); }, true},
    };

    int failures = 0;
    for (const Shot &shot : shots) {
        Tqr7Hid::reset();
        FirmwareFolder firmware;
        shot.prepare(firmware);
        Dialog dialog(firmware.path());
        const DialogWidgets widgets(dialog);
        dialog.show();
        bool ok = QTest::qWaitForWindowExposed(&dialog);
        if (shot.pressUpdate) {
            ok = ok && QTest::qWaitFor([&] { return widgets.button->isEnabled(); }, 10000);
            if (ok)
                widgets.button->click();
        }
        ok = ok && QTest::qWaitFor([&] { return shot.ready(widgets); }, 60000);
        const QString file = out + QLatin1Char('/') + QLatin1String(shot.name) + QStringLiteral(".png");
        if (!ok || !dialog.grab().save(file)) {
            std::fprintf(stderr, "screenshots: %s: the state was not reached\n", shot.name);
            ++failures;
            continue;
        }
        std::printf("%s\n", qPrintable(file));
    }
    return failures == 0 ? 0 : 1;
}
