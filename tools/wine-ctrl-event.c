// SPDX-License-Identifier: MIT
/* Sends Ctrl+C (0) or Ctrl+Break (1) to every process attached to the
 * console it runs in, as a key press in that console would: how a running
 * update takes it shows under Wine. docs/windows.md shows how to run it. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static BOOL WINAPI ignore(DWORD event)
{
    (void)event;
    return TRUE; /* this program stays to say what happened */
}

int main(int argc, char **argv)
{
    const DWORD event = argc > 1 ? (DWORD)atoi(argv[1]) : CTRL_C_EVENT;
    SetConsoleCtrlHandler(ignore, TRUE);
    const BOOL sent = GenerateConsoleCtrlEvent(event, 0);
    printf("wine-ctrl-event: event %lu %s (error %lu)\n", event, sent ? "sent" : "not sent", GetLastError());
    return sent ? 0 : 1;
}
