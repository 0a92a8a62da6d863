// SPDX-License-Identifier: MIT
// Fuzzes the firmware files. The input names the main file and fills the three
// files; the real dialog scans them and, with a ready unit, runs an update
// against the simulated unit. It must show the version the name carries, send
// every line up to each end record exactly as read, and refuse a set it could
// not send whole and intact (a line too long, holding a control byte or not an
// intact Intel HEX record, no end record, too many lines) before the first
// report goes out.
//
// Input: <main file name> '\n' <GPIO file> 0xFF <MIDI file> 0xFF <main file>
// A part that is missing leaves its file out; an empty name leaves the main
// file out. Inside a file, a line that starts with 0xFE and two count bytes
// (high byte first, neither of them 0xFF) stands for that many copies of the
// rest of the line; two such lines reach past 65,535 lines.

#include "tests/fuzz/harness.h"

#include "sim/tqr7hid.h"
#include "sim/wire.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kMaxNameLength = 64;
constexpr int kMaxFileBytes = 4 << 20; // room for 65,536 of the longest lines
constexpr char kSeparator = char(0xFF);
constexpr char kRepeat = char(0xFE);
constexpr int kMaxLine = Wire::kMaxLine;
constexpr int kMaxLines = Wire::kMaxLines;

using Harness::check;

void invoke(Dialog &dialog, const char *slot)
{
    check(QMetaObject::invokeMethod(&dialog, slot, Qt::DirectConnection), "cannot invoke", slot);
}

// Names from a safe set of characters; a name that would be a second GPIO or
// MIDI file is turned into one of no kind, so each kind has one file at most.
QString fileName(const QByteArray &raw)
{
    static const char safe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.";
    std::string name;
    for (char c : raw.left(kMaxNameLength)) {
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
        name += ok ? c : safe[static_cast<unsigned char>(c) % (sizeof safe - 1)];
    }
    if (!name.empty() && name[0] == '.')
        name[0] = '_'; // hidden files are not listed
    if (name.rfind("TQR7_GPIO", 0) == 0 || name.rfind("TQR7_MIDI", 0) == 0)
        name[0] = 'X';
    return QString::fromStdString(name);
}

QByteArray expand(const QByteArray &raw)
{
    QByteArray out;
    int from = 0;
    while (from < raw.size() && out.size() < kMaxFileBytes) {
        int to = raw.indexOf('\n', from);
        to = to < 0 ? raw.size() : to + 1;
        const QByteArray line = raw.mid(from, to - from);
        from = to;
        if (line.size() >= 3 && line.at(0) == kRepeat) {
            const int copies = quint8(line.at(1)) << 8 | quint8(line.at(2));
            const QByteArray rest = line.mid(3);
            for (int i = 0; i < copies && out.size() < kMaxFileBytes; ++i)
                out += rest;
        } else {
            out += line;
        }
    }
    return out.left(kMaxFileBytes);
}

// "TQR7_MAIN_<x>-<y>-<z>_<yymmdd>..." gives "TQR-7 vx.y.z yymmdd" whatever the
// numbers' lengths; another name gives "TQR-7 v" and the characters at 10, 12
// and 14, a space and those at 16-21.
QString expectedVersion(const QString &name)
{
    static const QRegularExpression fields(
        QStringLiteral("^TQR7_MAIN_([0-9]+)-([0-9]+)-([0-9]+)_([0-9]{6})"));
    const QRegularExpressionMatch m = fields.match(name);
    if (m.hasMatch())
        return QStringLiteral("TQR-7 v%1.%2.%3 %4")
            .arg(m.captured(1), m.captured(2), m.captured(3), m.captured(4));
    auto at = [&](int i) { return i < name.size() ? QString(name.at(i)) : QString(); };
    return QStringLiteral("TQR-7 v") + at(10) + '.' + at(12) + '.' + at(14) + ' ' + name.mid(16, 6);
}

// An intact Intel HEX record: ':', pairs of hex digits, the byte count of its
// data, a type 00 to 05 and bytes that sum to 0.
bool isRecord(const QByteArray &text)
{
    if (text.size() < 11 || text.at(0) != ':' || text.size() % 2 == 0)
        return false;
    std::vector<int> bytes;
    for (int i = 1; i < text.size(); i += 2) {
        bool ok = false;
        bytes.push_back(text.mid(i, 2).toInt(&ok, 16));
        if (!ok || !std::isxdigit(static_cast<unsigned char>(text.at(i)))
            || !std::isxdigit(static_cast<unsigned char>(text.at(i + 1))))
            return false;
    }
    int sum = 0;
    for (int b : bytes)
        sum += b;
    return bytes[0] == int(bytes.size()) - 5 && bytes[3] <= 5 && (sum & 0xFF) == 0;
}

// One file as the update must send it: the lines as read in text mode up to
// the first end record, and whether the file passes the checks before sending.
struct Image
{
    std::vector<QByteArray> lines;
    bool sendable = false;
};

Image readImage(const QString &path)
{
    Image image;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return image;
    bool unfit = false; // too long, a control byte, or not an intact record
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        const QByteArray text = line.endsWith('\n') ? line.left(line.size() - 1) : line;
        unfit = unfit || text.size() + 1 > kMaxLine
            || std::any_of(text.begin(), text.end(), [](char c) { return quint8(c) < 0x20 || c == 0x7F; })
            || !isRecord(text);
        image.lines.push_back(line);
        if (Wire::isEndRecord(std::string_view(line.constData(), std::size_t(line.size())))) {
            image.sendable = !unfit && int(image.lines.size()) <= kMaxLines;
            break;
        }
    }
    // Text mode drops a CR inside a line; the raw file shows it, and such a
    // line is refused too. Raw lines and text lines pair one to one.
    file.close();
    if (image.sendable && file.open(QIODevice::ReadOnly)) {
        for (std::size_t i = 0; i < image.lines.size() && !file.atEnd(); ++i) {
            QByteArray raw = file.readLine();
            if (raw.endsWith("\r\n"))
                raw.chop(2);
            if (raw.contains('\r'))
                image.sendable = false;
        }
    }
    return image;
}

// The report a line becomes: 0x0D in place of its line end, or after it.
void checkReport(const std::vector<std::uint8_t> &r, int target, int line, const Image &image)
{
    const QString where = QStringLiteral("target %1 line %2").arg(target).arg(line);
    check(r.size() == Wire::kOutputSize, "report is not 65 bytes", where);
    QByteArray text = image.lines[std::size_t(line - 1)];
    if (text.endsWith('\n'))
        text.chop(1);
    text += '\r';
    const int count = int(image.lines.size());
    const Wire::DataFields f = Wire::fields(r.data());
    check(r[Wire::kReportIdByte] == 0 && f.target == target && f.line == line && f.count == count
            && f.attempt == 1 && r[Wire::kCodeByte] == Wire::kLineDataCode,
        "report header wrong", where);
    check(f.length <= kMaxLine && f.length == text.size(), "line length wrong", where);
    check(QByteArray(reinterpret_cast<const char *>(r.data()) + Wire::kTextByte, f.length) == text,
        "line text wrong", where);
    for (std::size_t i = Wire::kTextByte + std::size_t(f.length); i < r.size(); ++i)
        check(r[i] == 0, "padding not zero", where);
    check(Wire::isEndRecord(Wire::line(r.data())) == (line == count), "end record mark wrong", where);
}

void writeFile(const QString &name, const std::optional<QByteArray> &content)
{
    if (name.isEmpty() || !content)
        return;
    check(!Harness::folder()->write(name, expand(*content)).isEmpty(), "cannot write", name);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Harness::start("fuzz_firmware");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int nameEnd = input.indexOf('\n');
    const QString mainName = fileName(input.left(nameEnd < 0 ? input.size() : nameEnd));
    std::optional<QByteArray> files[3];
    if (nameEnd >= 0) {
        const QList<QByteArray> parts = input.mid(nameEnd + 1).split(kSeparator);
        for (int i = 0; i < 3 && i < parts.size(); ++i)
            files[i] = parts.at(i);
    }

    QDir dir(Harness::folder()->path());
    for (const QString &old : dir.entryList(QDir::Files | QDir::Hidden | QDir::System))
        dir.remove(old);
    const QString gpioName = FirmwareFolder::kGpioName;
    const QString midiName = FirmwareFolder::kMidiName;
    writeFile(gpioName, files[0]);
    writeFile(midiName, files[1]);
    writeFile(mainName, files[2]);
    const bool complete = files[0] && files[1] && files[2] && mainName.startsWith(QLatin1String("TQR7_MAIN"));

    Tqr7Hid::reset();
    Dialog dialog(Harness::folder()->path());
    const DialogWidgets widgets(dialog);
    auto *version = widgets.version, *status = widgets.status, *target = widgets.target,
         *result = widgets.complete;
    auto *overall = widgets.overall;
    auto *button = widgets.button;
    check(widgets.found(), "widget missing");

    check(version->text() == (complete ? expectedVersion(mainName) : Texts::kFirmwareMissing),
        "version label", version->text());

    // Open the unit, ask for its update mode, read the answer.
    invoke(dialog, "pollUsb");
    invoke(dialog, "fwupdateModeCheck");
    invoke(dialog, "pollUsb");
    check(status->text() == Texts::kReady, "unit not ready", status->text());
    check(button->isEnabled() == complete, "button does not follow the firmware set");
    if (!complete) {
        check(Tqr7Hid::writtenDataReports().empty(), "data report without firmware");
        return 0;
    }

    const QString dirPath = Harness::folder()->path() + QLatin1Char('/');
    const Image gpio = readImage(dirPath + gpioName);
    const Image midi = readImage(dirPath + midiName);
    const Image main = readImage(dirPath + mainName);
    const Image *images[] = {&gpio, &midi, &midi, &main};
    const bool sendable = gpio.sendable && midi.sendable && main.sendable;
    std::size_t total = 0;
    for (const Image *image : images)
        total += image->lines.size();

    invoke(dialog, "on_buttonUpdate_clicked");
    for (std::size_t step = 0; step < total + 8 && result->isHidden(); ++step)
        invoke(dialog, "pollUsb");

    const std::vector<Tqr7Hid::Written> sent = Tqr7Hid::writtenDataReports();
    if (Harness::tracing())
        std::fprintf(stderr, "main %s: sendable %d, %zu of %zu lines sent, %s\n", qPrintable(mainName),
            sendable, sent.size(), total, qPrintable(result->text()));
    check(!result->isHidden(), "update did not end");
    if (!sendable) {
        check(result->text() == Texts::kFileError, "bad set not refused", result->text());
        check(sent.empty(), "data report from a refused set");
    } else {
        check(result->text() == Texts::kComplete, "good set not sent", result->text());
        check(sent.size() == total, "report count", QString::number(sent.size()));
        std::size_t next = 0;
        for (int t = 1; t <= 4; ++t)
            for (int line = 1; line <= int(images[t - 1]->lines.size()); ++line)
                checkReport(sent[next++].bytes, t, line, *images[t - 1]);
        // Not even a damaged record: every line was checked before the first went out.
        for (const std::string &v : Tqr7Hid::violations())
            check(false, "unit saw a violation", QString::fromStdString(v));
        check(overall->maximum() == int(total) && overall->value() == int(total), "overall progress");
        check(target->text() == QLatin1String("Main CPU"), "target label", target->text());
    }
    check(status->text() == Texts::kReady && button->isEnabled(), "not ready again after the update");
    return 0;
}
