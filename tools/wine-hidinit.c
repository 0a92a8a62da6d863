// SPDX-License-Identifier: MIT
/* Why hidapi's Windows back end finds no unit under Wine: which of the
 * cfgmgr32 functions it needs are there, what hid_init says, and what the
 * one stub does when called. docs/windows.md shows how to build and run it. */
#include <hidapi.h>
#include <stdio.h>
#include <windows.h>

static LONG CALLBACK raised(EXCEPTION_POINTERS *info)
{
    printf("  raised exception 0x%08lx\n", info->ExceptionRecord->ExceptionCode);
    fflush(stdout);
    ExitProcess(1);
}

int main(void)
{
    static const char *const needed[] = {"CM_Locate_DevNodeW", "CM_Get_Parent", "CM_Get_DevNode_PropertyW",
        "CM_Get_Device_Interface_PropertyW", "CM_Get_Device_Interface_List_SizeW",
        "CM_Get_Device_Interface_ListW"};
    HMODULE cfgmgr32 = LoadLibraryA("cfgmgr32.dll");
    for (size_t i = 0; i < sizeof needed / sizeof *needed; ++i)
        printf("%-36s %s\n", needed[i], GetProcAddress(cfgmgr32, needed[i]) ? "present" : "MISSING");
    const int result = hid_init();
    printf("hid_init: %d (%ls)\n", result, hid_error(NULL));
    fflush(stdout);

    typedef DWORD(WINAPI * ListW)(LPGUID, WCHAR *, WCHAR *, ULONG, ULONG);
    ListW list = (ListW)(void (*)(void))GetProcAddress(cfgmgr32, "CM_Get_Device_Interface_ListW");
    WCHAR buffer[256];
    AddVectoredExceptionHandler(1, raised);
    printf("CM_Get_Device_Interface_ListW called:\n");
    fflush(stdout);
    printf("  returned %lu\n", list ? list(NULL, NULL, buffer, 256, 0) : 0xffffffffUL);
    return result == 0 ? 0 : 1;
}
