// Times FileOperations on one large file, for scripts/bench-fileops.sh.
//   bench_fileops <source> <target> [runs]
// Runs each operation `runs` times (default 3) and prints the best time as
// "bench: <name> <bytes> <seconds>" lines (and "bench: sha256 <hex>") on
// standard output, among the copy's own progress events. Exit code 0 when
// every operation succeeded.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/ConsoleOutput.h"
#include "common/ErrorCodes.h"
#include "common/FileOperations.h"
#include "tests/tools/BenchClock.h"

namespace {

using korvel::tools::now;

void report(const char* name, uint64_t bytes, double seconds) {
    char line[160];
    std::snprintf(line, sizeof line, "bench: %s %llu %.6f\n", name, static_cast<unsigned long long>(bytes), seconds);
    korvel::writeStdoutBytes(line);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        korvel::writeStderrLine(L"usage: bench_fileops <source> <target> [runs]");
        return 1;
    }
    const int runs = argc == 4 ? _wtoi(argv[3]) : 3;
    if (runs < 1) return 1;
    const std::wstring source = argv[1];
    const std::wstring target = argv[2];
    korvel::FileOperations ops;
    korvel::FileInfo info;
    if (ops.getFileInfo(source, info) != korvel::ErrorCode::Success || !info.exists) return 2;
    // getFileInfo hashed the file once: the cache is warm for what follows.

    std::string digest;
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double start = now();
        if (ops.calculateSha256(source, digest) != korvel::ErrorCode::Success) return 3;
        best = std::min(best, now() - start);
    }
    report("hash", info.size, best);
    korvel::writeStdoutBytes("bench: sha256 " + digest + "\n");

    korvel::CopyOptions plain;
    plain.overwrite = true;
    plain.verifyHash = false;
    plain.preserveTimestamps = true;
    korvel::CopyOptions verified = plain;
    verified.verifyHash = true;
    const struct {
        const char* name;
        const korvel::CopyOptions* options;
    } copies[] = {{"copy", &plain}, {"copy_verify", &verified}};
    for (const auto& copy : copies) {
        best = 1e30;
        for (int i = 0; i < runs; ++i) {
            DeleteFileW(target.c_str());
            const double start = now();
            if (ops.copyFile(source, target, *copy.options) != korvel::ErrorCode::Success) return 4;
            best = std::min(best, now() - start);
        }
        report(copy.name, info.size, best);
    }

    if (ops.verifyFileIntegrity(target, digest) != korvel::ErrorCode::Success) return 6;
    DeleteFileW(target.c_str());
    return 0;
}
