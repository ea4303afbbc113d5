// Times FileOperations on one large file, for scripts/bench-fileops.sh.
//   bench_fileops <source> <target>
// Prints "bench: <name> <bytes> <seconds>" lines (and "bench: sha256 <hex>")
// on standard output, among the copy's own progress events. Exit code 0
// when every operation succeeded.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/ConsoleOutput.h"
#include "common/ErrorCodes.h"
#include "common/FileOperations.h"

namespace {

double now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void report(const char* name, uint64_t bytes, double seconds) {
    char line[160];
    std::snprintf(line, sizeof line, "bench: %s %llu %.6f\n", name, static_cast<unsigned long long>(bytes), seconds);
    korvel::writeStdoutBytes(line);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        korvel::writeStderrLine(L"usage: bench_fileops <source> <target>");
        return 1;
    }
    const std::wstring source = argv[1];
    const std::wstring target = argv[2];
    korvel::FileOperations ops;
    korvel::FileInfo info;
    if (ops.getFileInfo(source, info) != korvel::ErrorCode::Success || !info.exists) return 2;
    // getFileInfo hashed the file once: the cache is warm for what follows.

    double start = now();
    std::string digest;
    if (ops.calculateSha256(source, digest) != korvel::ErrorCode::Success) return 3;
    report("hash", info.size, now() - start);
    korvel::writeStdoutBytes("bench: sha256 " + digest + "\n");

    korvel::CopyOptions plain;
    plain.overwrite = true;
    plain.verifyHash = false;
    plain.preserveTimestamps = true;
    DeleteFileW(target.c_str());
    start = now();
    if (ops.copyFile(source, target, plain) != korvel::ErrorCode::Success) return 4;
    report("copy", info.size, now() - start);

    korvel::CopyOptions verified = plain;
    verified.verifyHash = true;
    DeleteFileW(target.c_str());
    start = now();
    if (ops.copyFile(source, target, verified) != korvel::ErrorCode::Success) return 5;
    report("copy_verify", info.size, now() - start);

    if (ops.verifyFileIntegrity(target, digest) != korvel::ErrorCode::Success) return 6;
    DeleteFileW(target.c_str());
    return 0;
}
