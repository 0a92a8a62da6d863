// SPDX-License-Identifier: MIT
/* Asks Wendrix's window what Windows asks every program before a logoff or
 * shutdown (WM_QUERYENDSESSION) and prints its answer: "refused" or
 * "accepted". With "close", closes the window instead, as its close button
 * does. tests/tst_endsession.sh runs it under Wine. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv)
{
    const int closing = argc > 1 && strcmp(argv[1], "close") == 0;
    HWND window = FindWindowW(NULL, L"Wendrix v1.0 for TQR-7");
    if (!window) {
        printf("no window\n");
        return 1;
    }
    DWORD_PTR answer = 0;
    const LRESULT sent = closing ? SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, &answer)
                                 : SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                       SMTO_ABORTIFHUNG, 10000, &answer);
    if (!sent) {
        printf("no answer (error %lu)\n", GetLastError());
        return 1;
    }
    if (!closing)
        printf("%s\n", answer ? "accepted" : "refused");
    return 0;
}
