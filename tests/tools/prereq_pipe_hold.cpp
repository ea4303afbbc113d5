// A progress-pipe server that holds the elevated helper at a chosen event:
// the helper flushes each line and the flush waits for the reader, so while
// this server acts on a line the helper waits before its next one.
//
//   prereq_pipe_hold --name \\.\pipe\X --out T:\lines.txt --on <text>
//                    [--swap <file> --with <replacement> --report <file>]
//                    [--ready <file> --go <file>] [--max-ms <n>]
//
// At the first line holding <text> it tries, as an unelevated program of the
// same user would, to replace <file> by <replacement> in every way the
// system offers (copy over it, move over it, delete it, open it for writing,
// rename its folder), writing "<attempt>\t<1 if it worked>\t<error>" per
// attempt into the report; then, with --ready/--go, creates the ready file
// and waits for the go file, so a test can act from the host side. It reads
// on until the helper closes the pipe. --ready <file> before the pipe
// exists: created once the pipe can be connected (the same file is reused).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/UniqueResource.h"

namespace {

struct Options {
    std::wstring name, out, on, swap, with, report, ready, go;
    DWORD maxMs = 120000;
};

bool parse(int argc, wchar_t** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring a = argv[i];
        const std::wstring v = argv[i + 1];
        if (a == L"--name") o.name = v;
        else if (a == L"--out") o.out = v;
        else if (a == L"--on") o.on = v;
        else if (a == L"--swap") o.swap = v;
        else if (a == L"--with") o.with = v;
        else if (a == L"--report") o.report = v;
        else if (a == L"--ready") o.ready = v;
        else if (a == L"--go") o.go = v;
        else if (a == L"--max-ms") o.maxMs = static_cast<DWORD>(std::wcstoul(v.c_str(), nullptr, 10));
        else return false;
    }
    return !o.name.empty() && !o.out.empty() && !o.on.empty();
}

void appendLine(HANDLE file, const std::string& line) {
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    FlushFileBuffers(file);
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void attempt(HANDLE report, const char* what, bool ok) {
    const DWORD error = ok ? 0 : GetLastError();
    appendLine(report, std::string(what) + "\t" + (ok ? "1" : "0") + "\t" + std::to_string(error) + "\n");
}

void swapAttempts(const Options& o) {
    korvel::ScopedHandle report(CreateFileW(o.report.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::wstring spare = o.with + L".spare";
    attempt(report.get(), "copy_over", CopyFileW(o.with.c_str(), o.swap.c_str(), FALSE) != 0);
    CopyFileW(o.with.c_str(), spare.c_str(), FALSE);
    attempt(report.get(), "move_over", MoveFileExW(spare.c_str(), o.swap.c_str(), MOVEFILE_REPLACE_EXISTING) != 0);
    attempt(report.get(), "delete", DeleteFileW(o.swap.c_str()) != 0);
    {
        korvel::ScopedHandle file(CreateFileW(o.swap.c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        attempt(report.get(), "open_for_write", file.valid());
    }
    const std::wstring folder = o.swap.substr(0, o.swap.find_last_of(L'\\'));
    const std::wstring moved = folder + L".moved";
    const bool renamed = MoveFileExW(folder.c_str(), moved.c_str(), 0) != 0;
    attempt(report.get(), "rename_folder", renamed);
    if (renamed) {
        // Had it worked: a folder of ours, with our file, in its place.
        CreateDirectoryW(folder.c_str(), nullptr);
        CopyFileW(o.with.c_str(), o.swap.c_str(), FALSE);
    }
    DeleteFileW(spare.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fwprintf(stderr, L"prereq_pipe_hold: bad arguments\n");
        return 64;
    }
    korvel::ScopedHandle pipe(CreateNamedPipeW(o.name.c_str(), PIPE_ACCESS_INBOUND,
                                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 65536, 0,
                                               nullptr));
    if (!pipe) return 2;
    korvel::ScopedHandle out(CreateFileW(o.out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return 3;
    if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 4;

    const ULONGLONG deadline = GetTickCount64() + o.maxMs;
    bool acted = false;
    std::string pending;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        pending.append(buffer, got);
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline + 1);
            pending.erase(0, newline + 1);
            appendLine(out.get(), line);
            if (acted || line.find(narrow(o.on)) == std::string::npos) continue;
            acted = true;
            if (!o.swap.empty()) swapAttempts(o);
            if (!o.ready.empty()) {
                korvel::ScopedHandle ready(CreateFileW(o.ready.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
                ready.reset();
                while (GetFileAttributesW(o.go.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < deadline)
                    Sleep(20);
            }
        }
    }
    if (!pending.empty()) appendLine(out.get(), pending);
    return acted ? 0 : 1;
}
