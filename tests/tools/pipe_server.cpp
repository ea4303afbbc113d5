// Stands in for the caller that owns the progress pipe: creates the named
// pipe, records every line it receives and can misbehave on request.
//
//   pipe_server --name \\.\pipe\X --out T:\lines.txt [options]
//     --ready <file>         created once the pipe exists (or, with --never,
//                            once the server has started)
//     --delay-ms <n>         wait this long before creating the pipe
//     --never                never create the pipe; just stay alive
//     --exit-after <n>       after n lines, close the pipe and exit
//     --drop-after <n>       after n lines, offer a fresh instance, then drop
//                            this client; the pipe stays available
//     --deny                 create the pipe with a DACL that grants nobody
//     --echo                 also print each line to standard output
//     --max-ms <n>           give up after this long (default 120000)
//     --hold-at <text>       after the first line that contains text, stop
//                            reading: create the --held file, wait for the
//                            --release file to exist, then read on. The
//                            client's flush of its next line waits for the
//                            reader, so the client stands still meanwhile.
//     --held <file>          see --hold-at
//     --release <file>       see --hold-at
//
// The out file holds exactly the bytes received, line by line, flushed after
// each line so that a test can read it while the server runs. The server
// ends when its client closes the pipe (or as told above).
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/UniqueResource.h"

namespace {

using korvel::LocalMemory;
using korvel::ScopedHandle;

struct Options {
    std::wstring name;
    std::wstring out;
    std::wstring ready;
    DWORD delayMs = 0;
    bool never = false;
    long exitAfter = -1;
    long dropAfter = -1;
    bool deny = false;
    bool echo = false;
    DWORD maxMs = 120000;
    std::string holdAt;
    std::wstring held;
    std::wstring release;
};

int usage(const wchar_t* why) {
    std::fwprintf(stderr, L"pipe_server: %ls\n", why);
    return 64;
}

bool parse(int argc, wchar_t** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        auto value = [&](std::wstring& dst) {
            if (i + 1 >= argc) return false;
            dst = argv[++i];
            return true;
        };
        std::wstring v;
        if (a == L"--name") {
            if (!value(o.name)) return false;
        } else if (a == L"--out") {
            if (!value(o.out)) return false;
        } else if (a == L"--ready") {
            if (!value(o.ready)) return false;
        } else if (a == L"--delay-ms") {
            if (!value(v)) return false;
            o.delayMs = static_cast<DWORD>(std::wcstoul(v.c_str(), nullptr, 10));
        } else if (a == L"--max-ms") {
            if (!value(v)) return false;
            o.maxMs = static_cast<DWORD>(std::wcstoul(v.c_str(), nullptr, 10));
        } else if (a == L"--exit-after") {
            if (!value(v)) return false;
            o.exitAfter = std::wcstol(v.c_str(), nullptr, 10);
        } else if (a == L"--drop-after") {
            if (!value(v)) return false;
            o.dropAfter = std::wcstol(v.c_str(), nullptr, 10);
        } else if (a == L"--hold-at") {
            if (!value(v)) return false;
            // Lines are ASCII JSON, so a narrowing copy is exact for the
            // texts a test looks for.
            o.holdAt.assign(v.begin(), v.end());
        } else if (a == L"--held") {
            if (!value(o.held)) return false;
        } else if (a == L"--release") {
            if (!value(o.release)) return false;
        } else if (a == L"--never") {
            o.never = true;
        } else if (a == L"--deny") {
            o.deny = true;
        } else if (a == L"--echo") {
            o.echo = true;
        } else {
            return false;
        }
    }
    if (!o.holdAt.empty() && (o.held.empty() || o.release.empty())) return false;
    return !o.name.empty() && (o.never || !o.out.empty());
}

void touch(const std::wstring& path) {
    if (path.empty()) return;
    ScopedHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
}

HANDLE makeInstance(const Options& o) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    LocalMemory sd;
    if (o.deny) {
        // An empty DACL: nobody may open the pipe.
        PSECURITY_DESCRIPTOR raw = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1, &raw, nullptr)) {
            return INVALID_HANDLE_VALUE;
        }
        sd.reset(raw);
        sa.lpSecurityDescriptor = sd.get();
    }
    return CreateNamedPipeW(o.name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 0, 65536, 0, o.deny ? &sa : nullptr);
}

// Before the server leaves the client, waits until the client's next line
// has arrived (at most two seconds), and a moment longer, so that the client
// is inside its flush of that line when the pipe goes. Wine's flush returns
// success at once on a pipe whose server already left, which would make the
// fate of a line written in that instant a matter of timing.
void settleBeforeLeaving(HANDLE pipe) {
    for (int i = 0; i < 200; ++i) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return;
        if (available > 0) break;
        Sleep(10);
    }
    Sleep(300);
}

// Takes what has arrived of the current line out of the pipe, up to and
// including its end and never a byte beyond it, so that nothing past the line
// the server stops at is ever taken. Peeking shows what is there without
// taking it; only when nothing is there does it wait, for one byte. Under
// Wine each read is a request to the server, so a line is taken in one read
// where it can be. False once the client has gone.
bool readUpToLineEnd(HANDLE pipe, std::string& line) {
    static char buffer[65536];
    DWORD peeked = 0;
    DWORD available = 0;
    DWORD take = 1;
    if (PeekNamedPipe(pipe, buffer, sizeof buffer, &peeked, &available, nullptr) && peeked > 0) {
        const void* end = std::memchr(buffer, '\n', peeked);
        take = end ? static_cast<DWORD>(static_cast<const char*>(end) - buffer + 1) : peeked;
    }
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, take, &got, nullptr) || got == 0) return false;
    line.append(buffer, got);
    return true;
}

// Accepts one client on the instance; true when connected.
bool accept(HANDLE pipe) {
    if (ConnectNamedPipe(pipe, nullptr)) return true;
    return GetLastError() == ERROR_PIPE_CONNECTED;
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Stands still until the test has done what it does at the hold point.
void holdUntilReleased(const Options& o) {
    touch(o.held);
    while (!exists(o.release)) Sleep(20);
}

DWORD WINAPI watchdog(void* param) {
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(param)));
    ExitProcess(70);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    if (!parse(argc, argv, o)) return usage(L"bad arguments");
    ScopedHandle(CreateThread(nullptr, 0, watchdog, reinterpret_cast<void*>(static_cast<uintptr_t>(o.maxMs)), 0,
                              nullptr));

    if (o.never) {
        touch(o.ready);
        Sleep(INFINITE);
    }
    if (o.delayMs) Sleep(o.delayMs);

    ScopedHandle out(CreateFileW(o.out.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           0, nullptr));
    if (!out.valid()) return usage(L"cannot create the out file");

    ScopedHandle pipe(makeInstance(o));
    if (!pipe.valid()) return usage(L"cannot create the pipe");
    touch(o.ready);
    if (!accept(pipe.get())) return usage(L"no client");

    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    std::string line;
    long lines = 0;
    bool holdDone = o.holdAt.empty();
    for (;;) {
        if (!readUpToLineEnd(pipe.get(), line)) {
            // Client closed: with --drop-after the next client may come on the
            // instance made ready before; otherwise the run is over.
            break;
        }
        if (line.back() != '\n') continue;
        // Written straight through to the file (no buffering here), so the
        // test reads each line as it arrives.
        DWORD written = 0;
        WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        if (o.echo) {
            WriteFile(console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            FlushFileBuffers(console);
        }
        const bool holdHere = !holdDone && line.find(o.holdAt) != std::string::npos;
        line.clear();
        ++lines;
        if (holdHere) {
            holdDone = true;
            holdUntilReleased(o);
        }
        if (lines == o.exitAfter) {
            settleBeforeLeaving(pipe.get());
            return 0;
        }
        if (lines == o.dropAfter) {
            settleBeforeLeaving(pipe.get());
            // The fresh instance exists before this client is dropped, so a
            // reconnection finds the pipe at once.
            ScopedHandle next(makeInstance(o));
            if (!next.valid()) return usage(L"cannot create the next instance");
            DisconnectNamedPipe(pipe.get());
            pipe.reset(next.release());
            if (!accept(pipe.get())) return usage(L"no client after the drop");
        }
    }
    if (!line.empty()) {
        DWORD written = 0;
        WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    return 0;
}
