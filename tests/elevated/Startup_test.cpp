#include "elevated/Startup.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <thread>

#include "common/UniqueResource.h"
#include "tests/elevated/StreamCapture.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::StreamCapture;

TEST(EntryPoint, AnEscapingStandardExceptionBecomesFourWithAFatalLine) {
    test::StdoutCapture out;
    const int code = runEntryPoint([]() -> int { throw std::runtime_error("boom"); });
    EXPECT_EQ(code, 4);
    const auto events = out.events();
    ASSERT_EQ(events.size(), 1u) << out.text();
    EXPECT_EQ(events[0]["event_type"].asString(), "diagnostic");
    EXPECT_EQ(events[0]["level"].asString(), "FATAL");
    EXPECT_EQ(events[0]["message"].asString(), "Unhandled exception: boom");
}

TEST(EntryPoint, AnyOtherThrowableBecomesFourToo) {
    test::StdoutCapture out;
    EXPECT_EQ(runEntryPoint([]() -> int { throw 3; }), 4);
    EXPECT_EQ(runEntryPoint([]() -> int { throw std::bad_alloc(); }), 4);
    const auto events = out.events();
    ASSERT_EQ(events.size(), 2u) << out.text();
    EXPECT_EQ(events[0]["message"].asString(), "Unhandled exception: unknown exception");
    EXPECT_EQ(events[0]["level"].asString(), "FATAL");
    EXPECT_EQ(events[1]["message"].asString().rfind("Unhandled exception: ", 0), 0u);
}

TEST(EntryPoint, ResultsPassThroughUnchanged) {
    test::StdoutCapture out;
    for (int code : {0, 1, 2, 3, 7, 141, 245}) EXPECT_EQ(runEntryPoint([code] { return code; }), code);
    EXPECT_EQ(out.text(), "");
}

// Run in a process of its own: the guard ends the process, after one FATAL
// line written straight to the output while the probe holds the logger.
TEST(EntryPoint, StdTerminateEndsWithFourNotTheAbortCodeAfterOneFatalLine) {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_GT(n, 0u);
    std::wstring probe(self, n);
    probe = probe.substr(0, probe.find_last_of(L"\\/") + 1) + L"terminate_probe.exe";
    test::ScratchDir scratch;
    const std::wstring outPath = (scratch / L"probe-out.txt").wstring();
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    ScopedHandle out(CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(out.valid());
    for (const wchar_t* mode : {L"plain", L"held"}) {
        SetFilePointer(out.get(), 0, nullptr, FILE_BEGIN);
        SetEndOfFile(out.get());
        std::wstring commandLine = L"\"" + probe + L"\" " + mode;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out.get();
        si.hStdError = out.get();
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(CreateProcessW(probe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &si, &pi))
            << GetLastError();
        const ScopedHandle process(pi.hProcess);
        const ScopedHandle thread(pi.hThread);
        ASSERT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(process.get(), &code);
        EXPECT_EQ(code, 4u);

        const std::string text = test::readFile(outPath);
        const std::vector<Json::Value> events = test::parseEventLines(text);
        ASSERT_EQ(events.size(), 1u) << text;
        EXPECT_EQ(events[0]["event_type"].asString(), "diagnostic");
        EXPECT_EQ(events[0]["level"].asString(), "FATAL");
        EXPECT_EQ(events[0]["message"].asString(), "KorvelElevated failed with error: 4");
        EXPECT_EQ(events[0]["process"].asString(), "KorvelElevated");
        EXPECT_EQ(events[0]["pid"].asUInt(), static_cast<unsigned>(pi.dwProcessId));
        EXPECT_EQ(events[0]["timestamp"].asString().size(), 24u);
    }
}

TEST(Startup, ComFailureEndsWithFourBeforeAnythingElse) {
    // A thread already in the multithreaded apartment cannot enter a
    // single-threaded one: CoInitializeEx answers RPC_E_CHANGED_MODE.
    int code = -1;
    std::string out, err;
    std::thread worker([&] {
        const ComApartment apartment(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_TRUE(apartment.valid());
        StreamCapture o(STD_OUTPUT_HANDLE);
        StreamCapture e(STD_ERROR_HANDLE);
        const wchar_t* argv[] = {L"K:\\KorvelElevated.exe", L"--help"};
        code = runElevatedHelper(2, argv);
        out = o.text();
        err = e.text();
    });
    worker.join();
    EXPECT_EQ(code, 4);
    EXPECT_EQ(err, "Failed to initialize COM: 80010106\n");
    EXPECT_EQ(out, "");
}

TEST(Startup, TheTestProcessIsAnAdministratorUnderTheSandbox) {
    // The end-to-end tests rely on this, and show the other answer through a
    // restricted token.
    EXPECT_TRUE(isAdministrator());
}

}  // namespace
}  // namespace korvel
