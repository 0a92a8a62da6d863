// SPDX-License-Identifier: MIT
#ifndef REPORT_H
#define REPORT_H

// The TQR-7 unit's HID reports and the timing of the link, named once.

namespace Report {

// Identity of the unit on the USB bus.
constexpr unsigned short kVendorId = 0x04D8;
constexpr unsigned short kProductId = 0xF29E;

// Output reports are a report id byte (always 0, the unit's reports are
// unnumbered) followed by 64 payload bytes; input reports arrive without it.
constexpr int kOutputSize = 65;
constexpr int kInputSize = 64;

// DataReport layout; numbers are big-endian.
constexpr int kReportIdByte = 0;
constexpr int kTargetByte = 1;
constexpr int kLineNumberHighByte = 2;
constexpr int kLineNumberLowByte = 3;
constexpr int kLineCountHighByte = 4;
constexpr int kLineCountLowByte = 5;
constexpr int kLengthByte = 6;
constexpr int kAttemptByte = 7;
constexpr int kCodeByte = 8;
constexpr int kTextByte = 9;
constexpr int kMaxLineLength = kOutputSize - kTextByte; // 56, line end included
constexpr unsigned char kLineDataCode = 0x03;
constexpr unsigned char kLineEnd = 0x0D; // the unit expects CR where the file has LF

// In an Intel HEX record the character at index 8 is the second digit of the
// record type: "1" only for the end-of-file record.
constexpr int kRecordTypeIndex = 8;
constexpr char kEndRecordType = '1';

// UpdateModeQuery: byte 1 = 0x80, every other byte 0.
constexpr int kQueryByte = 1;
constexpr unsigned char kQueryCode = 0x80;

// ResponseCode, byte 0 of an input report.
constexpr unsigned char kAcknowledge = 0x01;
constexpr unsigned char kBoardTimeout = 0x02;
constexpr unsigned char kUpdateModeAnswer = 0x80;

// One line is transmitted at most this many times.
constexpr int kMaxAttempts = 3;
// Line numbers and counts travel in 16 bits.
constexpr int kMaxFileLines = 0xFFFF;

// Timer periods in milliseconds.
constexpr int kIdlePollMs = 250;
constexpr int kConnectedPollMs = 10;
constexpr int kModeCheckMs = 1000;
constexpr int kResponseTimeoutMs = 500;

} // namespace Report

// State of the link to the unit, stored in Dialog::linkState.
enum LinkState { Disconnected = 0, Connected = 1, ReadyForUpdate = 2 };

// The four programmable parts of the unit, in the order they are updated.
enum UpdateTarget { SubGpio = 1, SubUsbMidi1 = 2, SubUsbMidi2 = 3, MainCpu = 4 };

#endif // REPORT_H
