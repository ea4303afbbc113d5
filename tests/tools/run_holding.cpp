// Holds a file or folder open with no sharing at all while a program runs,
// so that the program cannot open, list or delete it.
//   run_holding <path> <program> [arguments...]
// The child shares this process's standard handles; the tool exits with the
// child's exit code (125 when the path cannot be held or the child started).
#include <windows.h>

#include <string>

#include "common/ConsoleOutput.h"
#include "common/UniqueResource.h"

namespace {

std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        korvel::writeStderrLine(L"usage: run_holding <path> <program> [arguments...]");
        return 125;
    }
    korvel::ScopedHandle held(CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!held) {
        korvel::writeStderrLine(L"run_holding: cannot hold " + std::wstring(argv[1]) + L": " +
                                std::to_wstring(GetLastError()));
        return 125;
    }
    std::wstring commandLine;
    for (int i = 2; i < argc; ++i) commandLine += (i > 2 ? L" " : L"") + quoted(argv[i]);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(argv[2], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 125;
    korvel::ScopedHandle child(process.hProcess);
    korvel::ScopedHandle thread(process.hThread);
    WaitForSingleObject(child.get(), INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(child.get(), &code);
    return static_cast<int>(code);
}
