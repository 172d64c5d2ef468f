/* A stand-in for a graphics DLL that a player put in the game's folder. It exports
 * nothing. Built as it is (d3d9.dll, d3d11.dll, dxgi.dll), it appends the command line of
 * each process that loads it to NAME.log beside itself, NAME being its own file name, in
 * UTF-16. Built with FLOOD_OUTPUT (vulkan-1.dll), it writes 1 MiB to standard output
 * instead, as a DLL gone wrong may. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    DWORD written;
#ifdef FLOOD_OUTPUT
    (void)instance;
    static char block[64 * 1024];
    FillMemory(block, sizeof block, 'x');
    for (int i = 0; i < 16; ++i) {
        if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), block, sizeof block, &written, NULL))
            break;
    }
#else
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    lstrcpyW(path + length, L".log");
    const HANDLE log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return TRUE;
    /* One write for the whole line, so that lines of processes loading it at once do not mix. */
    wchar_t line[4096];
    lstrcpynW(line, GetCommandLineW(), 4094);
    lstrcatW(line, L"\n");
    WriteFile(log, line, (DWORD)(lstrlenW(line) * sizeof(wchar_t)), &written, NULL);
    CloseHandle(log);
#endif
    return TRUE;
}
