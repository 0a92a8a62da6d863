// SPDX-License-Identifier: MIT
#ifndef FIRMWAREFOLDER_H
#define FIRMWAREFOLDER_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Intel HEX text for tests: data records of 16 bytes with correct checksums,
// extended linear address records where the address needs them, and the end
// record. Deterministic for a given seed.
namespace Hex {
QByteArray record(int type, quint16 address, const QByteArray &data);
QByteArray endRecord(); // ":00000001FF"
// Lines (without line ends) of an image whose line count, end record
// included, is exactly lineCount (lineCount >= 1).
QStringList image(int lineCount, int seed = 0);
// Joins lines with lineEnd after each one.
QByteArray join(const QStringList &lines, const QByteArray &lineEnd = "\n");
} // namespace Hex

// The line counts of a firmware set, and the lines each target (1 to 4)
// takes from it: the MIDI file goes to targets 2 and 3, so it counts twice.
struct SetLines
{
    int gpio = 0, midi = 0, main = 0;

    int of(int target) const;
    int before(int target) const; // the lines of the targets sent before it
    int total() const;            // the whole set, a report a line
};

// Writes content to the file at path, replacing what it held; false when it cannot.
bool writeFile(const QString &path, const QByteArray &content);

// A firmware folder of the test's own, handed to the dialog: "firmware" in a
// temporary directory, removed with it, so every test starts from the folder
// it builds and two test programs never share one.
class FirmwareFolder
{
public:
    // The names of the three files of a complete set.
    static inline const QString kGpioName = QStringLiteral("TQR7_GPIO_0-3-1_151102.hex");
    static inline const QString kMidiName = QStringLiteral("TQR7_MIDI_0-2-0_151102.hex");
    static inline const QString kMainName = QStringLiteral("TQR7_MAIN_2-1-4_160315.hex");

    FirmwareFolder(); // an empty, existing folder

    // No firmware folder at all: a folder beneath the executable file, which cannot exist.
    static QString none();

    QString path() const; // the folder to hand to the dialog
    // Returns the file's path; empty when it could not be written.
    QString write(const QString &name, const QByteArray &content);
    QString writeImage(const QString &name, int lineCount, int seed = 0, const QByteArray &lineEnd = "\n");
    // The three files of a complete set with these line counts.
    void writeSet(int gpioLines, int midiLines, int mainLines, const QString &mainName = kMainName);
    // The lines writeSet wrote for this target, without line ends.
    QStringList image(int target) const;

    QString gpioPath, midiPath, mainPath; // of the set writeSet wrote
    SetLines lines;                       // and its line counts

private:
    QTemporaryDir dir;
};

#endif // FIRMWAREFOLDER_H
