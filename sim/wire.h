// SPDX-License-Identifier: MIT
#ifndef WIRE_H
#define WIRE_H

// The TQR-7 unit's reports as they cross the wire, what the unit can do with
// one and the record of one written, for everything that plays or inspects
// the unit: the simulated unit, the tests' probes, the fuzzers and tqr7plan.
// It stays apart from protocol/report.h on purpose: the simulated unit is an
// independent check of the program, and a slip in the program's own
// description must not become the unit's as well.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace Wire {

// The unit on the bus.
constexpr unsigned short kVendorId = 0x04D8;
constexpr unsigned short kProductId = 0xF29E;

// An output report is the report id 0 (the unit's reports are unnumbered)
// and 64 bytes; an input report is 64 bytes, the unit's code in byte 0.
constexpr std::size_t kOutputSize = 65;
constexpr std::size_t kInputSize = 64;

// A data report; numbers are big-endian.
constexpr int kReportIdByte = 0; // 0: the unit's reports are unnumbered
constexpr int kTargetByte = 1;
constexpr int kLineByte = 2;  // and 3
constexpr int kCountByte = 4; // and 5: the file's line count
constexpr int kLengthByte = 6;
constexpr int kAttemptByte = 7;
constexpr int kCodeByte = 8;
constexpr int kTextByte = 9;
constexpr int kMaxLine = int(kOutputSize) - kTextByte; // 56, the CR included
constexpr std::uint8_t kLineDataCode = 0x03;
constexpr std::uint8_t kLineEnd = 0x0D;

// An UpdateModeQuery: the code in byte 1, every other byte 0.
constexpr int kQueryByte = 1;
constexpr std::uint8_t kQueryCode = 0x80;

// The unit's answers, the code in byte 0 of an input report.
constexpr int kAnswerByte = 0;
constexpr std::uint8_t kAcknowledge = 0x01;
constexpr std::uint8_t kBoardTimeout = 0x02;
constexpr std::uint8_t kUpdateModeAnswer = 0x80;

constexpr int kTargets = 4;
constexpr int kMaxAttempts = 3;   // a line is sent at most this often
constexpr int kMaxLines = 0xFFFF; // line numbers travel in 16 bits

// In an Intel HEX line the character at index 8 is the second digit of the
// record type, "1" only in the end record.
constexpr std::size_t kRecordTypeIndex = 8;
constexpr char kEndRecordType = '1';

inline bool isEndRecord(std::string_view line)
{
    return line.size() > kRecordTypeIndex && line[kRecordTypeIndex] == kEndRecordType;
}

inline bool isQuery(const std::uint8_t *report, std::size_t size)
{
    return size > std::size_t(kQueryByte) && report[kQueryByte] == kQueryCode;
}

// The numbers of a data report of kOutputSize bytes.
struct DataFields
{
    int target, line, count, length, attempt;
};

inline DataFields fields(const std::uint8_t *report)
{
    return {report[kTargetByte], report[kLineByte] << 8 | report[kLineByte + 1],
        report[kCountByte] << 8 | report[kCountByte + 1], report[kLengthByte], report[kAttemptByte]};
}

// The line a data report carries, without its line end.
inline std::string_view line(const std::uint8_t *report)
{
    const int length = std::clamp(int(report[kLengthByte]) - 1, 0, kMaxLine - 1);
    return {reinterpret_cast<const char *>(report + kTextByte), std::size_t(length)};
}

inline std::vector<std::uint8_t> query()
{
    std::vector<std::uint8_t> report(kOutputSize, 0);
    report[kQueryByte] = kQueryCode;
    return report;
}

// A data report as the program sends it: the line, without its line end,
// followed by CR.
inline std::vector<std::uint8_t> dataReport(
    int target, int line, int count, std::string_view text, int attempt)
{
    text = text.substr(0, std::size_t(kMaxLine - 1));
    std::vector<std::uint8_t> report(kOutputSize, 0);
    report[kTargetByte] = std::uint8_t(target);
    report[kLineByte] = std::uint8_t(line >> 8);
    report[kLineByte + 1] = std::uint8_t(line);
    report[kCountByte] = std::uint8_t(count >> 8);
    report[kCountByte + 1] = std::uint8_t(count);
    report[kLengthByte] = std::uint8_t(text.size() + 1);
    report[kAttemptByte] = std::uint8_t(attempt);
    report[kCodeByte] = kLineDataCode;
    std::copy(text.begin(), text.end(), report.begin() + kTextByte);
    report[kTextByte + text.size()] = kLineEnd;
    return report;
}

// What the unit does with one data report.
enum class Answer {
    Acknowledge,  // 0x01 after the answer delay (the default)
    BoardTimeout, // 0x02: the unit's internal bus timed out passing the line on
    Silence,      // no answer at all
    Unplug,       // the unit disappears: this and every later call on the handle fails
    WriteFails,   // hid_write returns -1; the unit stays attached
    Stall,        // no answer, and the unit stops taking reports: later writes block, then fail
};

// One output report as the program wrote it.
struct Written
{
    double timeMs;                   // since the unit's reset(), steady clock
    std::vector<std::uint8_t> bytes; // exactly as passed to hid_write (behind USB: report id 0 put back)
};

} // namespace Wire

#endif // WIRE_H
