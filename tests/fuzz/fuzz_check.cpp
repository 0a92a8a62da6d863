// SPDX-License-Identifier: MIT
// Fuzzes the check before an update on its own, without a window: the input is
// a firmware file, read from memory line by line as checkFile reads a file,
// up to its end record or its first fault. Every line must be read whole, its
// length counted right, and a line that is accepted must fit a report and be
// the file's own bytes. The same bytes as a real file must get the same
// verdict, lines and count of lines after the end record from checkFile (one
// input in four, see below), so what holds here holds for the file path.

#include "imageset/firmwarecheck.h"
#include "protocol/report.h"

#include <QBuffer>
#include <QDir>
#include <QHash>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// number is the line the memory path stopped at, 0 for none.
void check(bool ok, const char *what, int number = 0)
{
    if (ok)
        return;
    if (number > 0)
        std::fprintf(stderr, "fuzz_check: line %d: %s\n", number, what);
    else
        std::fprintf(stderr, "fuzz_check: %s\n", what);
    std::abort(); // libFuzzer keeps the input
}

QTemporaryFile *file = nullptr;

} // namespace

// Lines longer than the check's 4 KiB read pieces need longer inputs than
// libFuzzer's default; a -max_len on the command line comes later and wins.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static char maxLen[] = "-max_len=12288";
    static std::vector<char *> args(*argv, *argv + *argc);
    args.insert(args.begin() + 1, maxLen);
    args.push_back(nullptr);
    *argc = int(args.size()) - 1;
    *argv = args.data();
    file = new QTemporaryFile(QDir::tempPath() + QStringLiteral("/fuzz_check-XXXXXX"));
    std::atexit([] { delete file; }); // libFuzzer ends with exit(): the file goes
    check(file->open(), "cannot make a temporary file");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    QBuffer buffer;
    buffer.setData(input);
    buffer.open(QIODevice::ReadOnly);

    QString fault;        // from lineFault, as checkFile would word it
    bool refused = false; // for the file as a whole: empty, too many lines, no end record
    QByteArray accepted;
    int after = 0; // lines after the end record, found without the check's own reading
    int count = 0;
    for (;;) {
        if (buffer.atEnd()) {
            refused = true;
            break;
        }
        const qint64 start = buffer.pos();
        qint64 textLength = 0;
        const QByteArray line = FirmwareCheck::readLine(buffer, textLength);
        ++count;
        // The line as the file has it, found without the check's own reading.
        const int newline = input.indexOf('\n', int(start));
        const int end = newline < 0 ? input.size() : newline + 1;
        QByteArray text = input.mid(int(start), end - int(start));
        const int lineEnd = text.endsWith("\r\n") ? 2 : text.endsWith('\n') ? 1 : 0;
        text.chop(lineEnd);
        check(!line.isEmpty() && buffer.pos() == end, "not read to its line end", count);
        check(textLength == text.size(), "length counted wrong", count);
        if (count > Report::kMaxFileLines) {
            refused = true;
            break;
        }
        fault = FirmwareCheck::lineFault(line, textLength, count);
        if (!fault.isEmpty())
            break;
        check(text.size() + 1 <= Report::kMaxLineLength, "accepted, but too long for a report", count);
        check(line == (lineEnd ? text + '\n' : text), "accepted, but not the file's bytes", count);
        accepted += line;
        if (line.size() > Report::kRecordTypeIndex
            && line.at(Report::kRecordTypeIndex) == Report::kEndRecordType) {
            const QByteArray rest = input.mid(end);
            after = std::min(rest.count('\n') + (rest.isEmpty() || rest.endsWith('\n') ? 0 : 1),
                FirmwareCheck::kCountLimit);
            break;
        }
    }

    // The file path costs three times the memory path (QFile, a dozen system
    // calls), so one input in four takes it: about 20,000 inputs a second
    // instead of 10,000 on two busy cores. Chosen by its bytes, not by a
    // count, so that a finding reproduces from its input alone. The file is
    // rewritten in place, not truncated to 0 first: on ext4 that makes the
    // next close write it out, and the rate falls to a few hundred.
    if (qHash(input) % 4 != 0)
        return 0;
    check(file->seek(0) && file->write(input) == input.size() && file->flush() && file->resize(input.size()),
        "cannot write the temporary file");
    const CheckedImage image = FirmwareCheck::checkFile(file->fileName());
    QByteArray lines;
    for (int n = 1; n <= image.lineCount(); ++n)
        lines += image.line(n);
    check(lines == accepted, "checkFile kept other lines", count);
    check(image.linesAfterEnd == after, "checkFile counted other lines after the end record", count);
    if (!fault.isEmpty())
        check(image.fault == fault, "checkFile gave another reason", count);
    else
        check(image.fault.isEmpty() != refused, "checkFile gave another verdict", count);
    return 0;
}
