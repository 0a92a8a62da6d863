// SPDX-License-Identifier: MIT
/* Asks Wendrix's window what Windows asks every program before a logoff or
 * shutdown (WM_QUERYENDSESSION) and prints its answer, "refused" or
 * "accepted"; then tells it that the session goes on (WM_ENDSESSION with
 * FALSE), as Windows does when a program refuses or the user cancels.
 * tests/tst_endsession.sh runs it under Wine. */
#include <stdio.h>
#include <windows.h>

int main(void)
{
    HWND window = FindWindowW(NULL, L"Wendrix v1.0 for TQR-7");
    if (!window) {
        printf("no window\n");
        return 1;
    }
    DWORD_PTR answer = 0;
    const LRESULT sent = SendMessageTimeoutW(
        window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000, &answer);
    if (!sent) {
        printf("no answer (error %lu)\n", GetLastError());
        return 1;
    }
    printf("%s\n", answer ? "accepted" : "refused");
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000, &ignored);
    return 0;
}
