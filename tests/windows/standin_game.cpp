// A stand-in for the game: a tiny Windows program that records how it was started.
//
// Each start appends one line to quillmont-standin.log in the folder of the program:
//   started argc=<n> cwd=<working directory> argv=<arg0>|<arg1>|...
// then stays alive for five seconds, as a game would still be running after the
// launcher has gone, and appends "finished". Linked statically, so that it runs
// without any DLL beside it.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

std::wstring moduleFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    const std::wstring::size_type slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
}

void appendLine(const std::wstring &file, const std::wstring &line)
{
    const HANDLE handle = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    const std::wstring text = line + L"\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &utf8[0], size, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(handle, utf8.data(), DWORD(utf8.size()), &written, nullptr);
    CloseHandle(handle);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t cwd[MAX_PATH];
    const DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH, cwd);

    std::wstring line = L"started argc=" + std::to_wstring(argc) + L" cwd=" + std::wstring(cwd, cwdLength)
                        + L" argv=";
    for (int i = 0; i < argc; ++i)
        line += (i ? L"|" : L"") + std::wstring(argv[i]);
    LocalFree(argv);

    const std::wstring log = moduleFolder() + L"\\quillmont-standin.log";
    appendLine(log, line);
    Sleep(5000);
    appendLine(log, L"finished");
    return 0;
}
