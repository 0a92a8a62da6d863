// SPDX-License-Identifier: MIT
#include "tests/support/firmwarefolder.h"

#include "sim/wire.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace Hex {

QByteArray record(int type, quint16 address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    quint8 sum = 0;
    for (char c : bytes)
        sum = quint8(sum + quint8(c));
    bytes.append(char(quint8(0x100 - sum)));
    return ':' + bytes.toHex().toUpper();
}

QByteArray endRecord()
{
    return record(1, 0, QByteArray());
}

QStringList image(int lineCount, int seed)
{
    QStringList lines;
    quint32 address = 0;
    quint32 state = 0x2545F491u + quint32(seed) * 2654435761u;
    while (lines.size() < lineCount - 1) {
        if ((address & 0xFFFF) == 0 && address != 0) {
            QByteArray upper;
            upper.append(char(address >> 24));
            upper.append(char((address >> 16) & 0xFF));
            lines << QString::fromLatin1(record(4, 0, upper));
            continue;
        }
        QByteArray data;
        for (int i = 0; i < 16; ++i) {
            state = state * 1103515245u + 12345u;
            data.append(char(state >> 24));
        }
        lines << QString::fromLatin1(record(0, quint16(address & 0xFFFF), data));
        address += 16;
    }
    lines << QString::fromLatin1(endRecord());
    return lines;
}

QByteArray join(const QStringList &lines, const QByteArray &lineEnd)
{
    QByteArray text;
    for (const QString &line : lines)
        text += line.toLatin1() + lineEnd;
    return text;
}

} // namespace Hex

int SetLines::of(int target) const
{
    return target == 1 ? gpio : target == 4 ? main : midi;
}

int SetLines::before(int target) const
{
    int sum = 0;
    for (int t = 1; t < target; ++t)
        sum += of(t);
    return sum;
}

int SetLines::total() const
{
    return before(Wire::kTargets + 1);
}

namespace {
// The seed of each image writeSet writes: one for GPIO, MIDI and main.
int seedOf(int target)
{
    return target == 1 ? 1 : target == 4 ? 3 : 2;
}
} // namespace

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

FirmwareFolder::FirmwareFolder()
{
    QDir(dir.path()).mkdir(QStringLiteral("firmware"));
}

QString FirmwareFolder::none()
{
    return QCoreApplication::applicationFilePath() + QStringLiteral("/firmware");
}

QString FirmwareFolder::path() const
{
    return dir.filePath(QStringLiteral("firmware"));
}

QString FirmwareFolder::write(const QString &name, const QByteArray &content)
{
    const QString filePath = path() + QLatin1Char('/') + name;
    return writeFile(filePath, content) ? filePath : QString();
}

QString FirmwareFolder::writeImage(const QString &name, int lineCount, int seed, const QByteArray &lineEnd)
{
    return write(name, Hex::join(Hex::image(lineCount, seed), lineEnd));
}

void FirmwareFolder::writeSet(int gpioLines, int midiLines, int mainLines, const QString &mainName)
{
    gpioPath = writeImage(kGpioName, gpioLines, seedOf(1));
    midiPath = writeImage(kMidiName, midiLines, seedOf(2));
    mainPath = writeImage(mainName, mainLines, seedOf(4));
    lines = {gpioLines, midiLines, mainLines};
}

QStringList FirmwareFolder::image(int target) const
{
    return Hex::image(lines.of(target), seedOf(target));
}
