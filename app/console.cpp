// SPDX-License-Identifier: MIT
#include "app/console.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <cstdio>

namespace {
bool detached = false;
}

void Console::attachParent()
{
    // Output the prompt sent to a file or a pipe stays there.
    const auto redirected = [](DWORD which) {
        const DWORD type = GetFileType(GetStdHandle(which));
        return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
    };
    const bool outRedirected = redirected(STD_OUTPUT_HANDLE);
    const bool errRedirected = redirected(STD_ERROR_HANDLE);
    // Started from Explorer there is none to attach to, and none is made.
    // (Wine attaches a GUI program to its parent's console by itself.)
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED)
        return;
    // A GUI program's stdout and stderr lead nowhere: give them the console.
    // Qt's default handler writes to stderr only when it finds a console,
    // and looks once, at the first line: hence this runs before any line.
    FILE *stream = nullptr;
    if (!outRedirected)
        (void)freopen_s(&stream, "CONOUT$", "w", stdout);
    if (!errRedirected)
        (void)freopen_s(&stream, "CONOUT$", "w", stderr);
}

void Console::detach()
{
    detached = detached || FreeConsole();
}

void Console::reattach()
{
    if (!detached)
        return;
    detached = false;
    attachParent();
}

#else

void Console::attachParent() { }

void Console::detach() { }

void Console::reattach() { }

#endif
