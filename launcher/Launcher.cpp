#include "launcher/Launcher.h"

#include <shellapi.h>

#include <algorithm>
#include <filesystem>

#include "common/ErrorCodes.h"
#include "common/PathCompare.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"

namespace korvel {
namespace {

constexpr int code(LauncherExit exit) { return static_cast<int>(exit); }


// The helper must be a file: a folder would make "runas" open a file
// manager, and the launcher would wait for that forever.
bool checkHelperPath(const std::wstring& helperPath) {
    const DWORD attributes = GetFileAttributesW(helperPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (isMissingPathError(error)) {
            writeLauncherMessage(L"Error: Helper executable not found: " + helperPath);
        } else {
            writeLauncherMessage(L"Error: Unable to check helper executable: " + helperPath + L" (" +
                                 std::to_wstring(error) + L") - " + formatWin32Error(error));
        }
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        writeLauncherMessage(L"Error: Helper executable not found: " + helperPath);
        return false;
    }
    return true;
}

// The full path the system resolves a path to (against the current folder);
// empty when it cannot.
std::wstring fullPathOf(const std::wstring& path) {
    DWORD capacity = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    for (int attempt = 0; capacity != 0 && attempt < 3; ++attempt) {
        std::wstring buffer(capacity, L'\0');
        const DWORD length = GetFullPathNameW(path.c_str(), capacity, buffer.data(), nullptr);
        if (length == 0) break;
        if (length < capacity) {
            buffer.resize(length);
            return buffer;
        }
        capacity = length;
    }
    return std::wstring();
}

}  // namespace

void writeLauncherMessage(const std::wstring& message) {
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
    const std::wstring line = message + L"\n";
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        DWORD written = 0;
        WriteConsoleW(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                         nullptr, nullptr);
    if (size <= 0) return;
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size, nullptr,
                        nullptr);
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring currentProgramPath(DWORD initialCapacity) {
    // The longest path Windows can hand back is 32767 characters.
    constexpr DWORD kLimit = 65536;
    DWORD capacity = std::max<DWORD>(initialCapacity, 1);
    for (;;) {
        std::wstring buffer(capacity, L'\0');
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
        if (length == 0) return std::wstring();
        // A full buffer means the path was cut short (older systems say
        // nothing else about it).
        if (length < capacity && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(length);
            return buffer;
        }
        if (capacity >= kLimit) return std::wstring();
        capacity = std::min<DWORD>(capacity * 2, kLimit);
    }
}

bool parseLauncherArgs(int argc, const wchar_t* const* argv, LauncherOptions& options) {
    bool passThrough = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (passThrough) {
            options.forwardedArgs.push_back(arg);
        } else if (arg == L"--helper") {
            if (i + 1 >= argc) {
                writeLauncherMessage(L"Error: --helper requires a path");
                return false;
            }
            options.helperPath = argv[++i];
        } else if (arg == L"--pipe") {
            if (i + 1 >= argc) {
                writeLauncherMessage(L"Error: --pipe requires a pipe name");
                return false;
            }
            options.pipeName = argv[++i];
        } else if (arg == L"--") {
            passThrough = true;
        } else {
            options.forwardedArgs.push_back(arg);
        }
    }
    if (options.pipeName.empty()) {
        writeLauncherMessage(L"Error: --pipe is required");
        return false;
    }
    if (options.helperPath.empty()) {
        const std::wstring self = currentProgramPath();
        if (self.empty()) {
            writeLauncherMessage(L"Error: Unable to determine launcher location");
            return false;
        }
        options.helperPath = (std::filesystem::path(self).parent_path() / L"KorvelElevated.exe").wstring();
    }
    // The helper is started by its full path, the file checked here: with
    // a bare or relative name the shell would search for it (App Paths, the
    // program path) and could start another program elevated.
    const std::wstring full = fullPathOf(options.helperPath);
    if (full.empty()) {
        const DWORD error = GetLastError();
        writeLauncherMessage(L"Error: Unable to check helper executable: " + options.helperPath + L" (" +
                             std::to_wstring(error) + L") - " + formatWin32Error(error));
        return false;
    }
    options.helperPath = full;
    return checkHelperPath(options.helperPath);
}

std::wstring quoteWindowsArg(const std::wstring& arg) {
    if (arg.empty()) return L"\"\"";
    if (arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(2 * backslashes + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        quoted.push_back(c);
        backslashes = 0;
    }
    // The closing quote must not be escaped by a trailing run.
    quoted.append(2 * backslashes, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring joinCommandLine(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) line.push_back(L' ');
        line += quoteWindowsArg(args[i]);
    }
    return line;
}

std::wstring helperWorkingFolder(const std::wstring& helperPath) {
    size_t end = helperPath.size();
    while (end > 0 && !isPathSeparator(helperPath[end - 1])) --end;
    if (end == 0) return std::wstring();
    while (end > 0 && isPathSeparator(helperPath[end - 1])) --end;
    // "C:\x.exe" and "\x.exe" start in the root, not in "C:" or nowhere.
    if (end == 0 || helperPath[end - 1] == L':') return helperPath.substr(0, end + 1);
    return helperPath.substr(0, end);
}

size_t helperCommandLineLength(const std::wstring& helperPath, const std::wstring& parameters) {
    // The shell may name the program by its full path.
    std::wstring program = helperPath;
    const DWORD needed = GetFullPathNameW(helperPath.c_str(), 0, nullptr, nullptr);
    if (needed > program.size()) program.assign(needed, L'\0');
    return 1 + program.size() + 1 + 1 + parameters.size() + 1;
}

int reportStartFailure(DWORD error) {
    if (error == ERROR_CANCELLED) {
        writeLauncherMessage(L"User cancelled the elevation prompt");
        return code(LauncherExit::Declined);
    }
    writeLauncherMessage(L"Failed to launch elevated helper (" + std::to_wstring(error) + L") - " +
                         formatWin32Error(error));
    return code(LauncherExit::StartFailed);
}

int runElevatedHelper(const LauncherOptions& options) {
    std::vector<std::wstring> args{L"--progress-pipe", options.pipeName};
    args.insert(args.end(), options.forwardedArgs.begin(), options.forwardedArgs.end());
    const std::wstring parameters = joinCommandLine(args);
    const std::wstring folder = helperWorkingFolder(options.helperPath);
    // A longer line would be cut short and the helper would run with other
    // arguments than the caller gave.
    const size_t length = helperCommandLineLength(options.helperPath, parameters);
    if (length > kMaxCommandLine) {
        writeLauncherMessage(L"Error: The arguments do not fit in one command line (" + std::to_wstring(length) +
                             L" characters, at most " + std::to_wstring(kMaxCommandLine) + L")");
        return code(LauncherExit::ArgumentError);
    }

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = options.helperPath.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) return reportStartFailure(GetLastError());

    const ScopedHandle process(info.hProcess);
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
        writeLauncherMessage(L"Failed while waiting for helper process - " + formatWin32Error(GetLastError()));
        return code(LauncherExit::WaitFailed);
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) {
        writeLauncherMessage(L"Failed to retrieve helper exit code - " + formatWin32Error(GetLastError()));
        return code(LauncherExit::WaitFailed);
    }
    return static_cast<int>(exitCode);
}

}  // namespace korvel
