// SPDX-License-Identifier: MIT
#ifndef CONSOLE_H
#define CONSOLE_H

// On Windows, a program started from a command prompt prints its diagnostic
// lines there. Elsewhere these do nothing: standard error is the terminal's.
namespace Console {

// Call before the first diagnostic line.
void attachParent();
// Ctrl+C, Ctrl+Break or closing that console end every process attached to
// it, so an update runs detached: the streams keep the handles they hold, and
// the program attaches again when the update has ended.
void detach();
void reattach();

} // namespace Console

#endif // CONSOLE_H
