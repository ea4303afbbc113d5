#pragma once
// One in-process run of the uninstaller's entry with both standard streams
// captured, as the tests of its console texts need it.
#include <windows.h>

#include <string>
#include <vector>

#include "tests/elevated/StreamCapture.h"
#include "uninstall/Uninstaller.h"

namespace korvel::test {

struct ProgramRun {
    int code = 0;
    std::string out;
    std::string err;
};

// Runs KorvelUninstall with the given arguments; elevated is what the
// elevation check answers.
inline ProgramRun runUninstallerWith(std::vector<std::wstring> args, bool elevated = true) {
    args.insert(args.begin(), L"KorvelUninstall.exe");
    std::vector<const wchar_t*> argv;
    for (const std::wstring& a : args) argv.push_back(a.c_str());
    StreamCapture out(STD_OUTPUT_HANDLE);
    StreamCapture err(STD_ERROR_HANDLE);
    ProgramRun run;
    run.code = runUninstaller(static_cast<int>(argv.size()), argv.data(), [elevated] { return elevated; });
    run.out = out.text();
    run.err = err.text();
    return run;
}

}  // namespace korvel::test
