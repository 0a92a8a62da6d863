// SPDX-License-Identifier: MIT
#ifndef TQR7HID_H
#define TQR7HID_H

// Control of the simulated TQR-7 unit behind its hidapi drop-in
// (libtqr7hid.so): code that calls hid_open/hid_read/hid_write talks to it.
// Tests steer it through these functions; a separate process is steered by
// the environment variables described in sim/README.md.

#include "sim/wire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Tqr7Hid {

// The unit's answers and records, so that steering it needs this header only.
using Wire::Answer;
using Wire::Written;

// Everything back to a fresh simulator: unit attached, in update mode, every
// data report acknowledged at once, no planned fault, every record cleared.
// Handles still open from before fail like an unplugged unit.
void reset();

// Plug the unit in / pull it out. Unplugging makes every read and write on an
// open handle return -1 and hid_open find nothing until attach().
void attach();
void unplug();
bool attached();

// In update mode the unit answers every UpdateModeQuery with 0x80; otherwise
// it ignores queries (and data reports, which are then recorded as violations).
void setUpdateMode(bool on);

// Delay between a write and its answer becoming readable (default 0 ms).
void setAnswerDelayMs(int ms);

// Plan what the unit does with the data report for this target, line number
// and attempt. 0 for target, line or attempt matches any. Later plans take
// precedence over earlier ones. delayMs < 0 keeps the global answer delay.
void planAnswer(int target, int line, int attempt, Answer answer, int delayMs = -1);

// Make the next n writes of an UpdateModeQuery return -1.
void failQueryWrites(int n);

// Make the next n opens of the attached unit fail as hidapi's do for a user
// without access to its node ("... Permission denied"); n < 0: every open
// until denyOpens(0). hid_enumerate still lists the unit.
void denyOpens(int n);

// Queue an input report (64 bytes, zero-padded) that the next read delivers
// after delayMs, in order with the unit's own answers.
void injectInputReport(const std::vector<std::uint8_t> &report, int delayMs = 0);

// Parse a fault plan in the text form of TQR7SIM_FAULTS (sim/README.md);
// returns false and changes nothing if the text is malformed.
bool planFromText(const std::string &text);

// Records.
double nowMs();                            // since reset()
std::vector<Written> writtenReports();     // every hid_write, queries included
std::vector<Written> writtenDataReports(); // the data reports only
std::vector<double> openAttemptTimes();    // every hid_open call
int enumerations();                        // hid_enumerate calls
std::vector<double> readTimes();           // every hid_read / hid_read_timeout call
int openHandles();                         // handles open now
bool nonBlocking();                        // the last opened handle is non-blocking

// What each target (1 to 4) took in during the last update: the text of every
// acknowledged line in order, each ending in CR as sent. Retransmissions are
// stored once.
std::string received(int target);

// Every protocol violation seen since reset(), one readable sentence each.
std::vector<std::string> violations();

} // namespace Tqr7Hid

#endif // TQR7HID_H
