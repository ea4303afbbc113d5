// Prerequisite detection pieces in process: version parsing and comparison,
// the URL rule, the exit-code rule of each kind, registry and file-version
// reads, and the refusal of a row without a digest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/UniqueResource.h"
#include "install/PrereqInstaller.h"
#include "tests/install/PrereqEvents.h"
#include "tests/support/TestSupport.h"

namespace korvel {
namespace {

using test::messages;
using test::StdoutCapture;

TEST(PrereqVersions, ParsesPartsTheWayStrtolReadsThem) {
    const struct {
        const wchar_t* text;
        std::vector<int32_t> parts;
    } cases[] = {
        {L"14.30.30704", {14, 30, 30704, 0}},
        {L"14.30.30704.0", {14, 30, 30704, 0}},
        {L"", {0, 0, 0, 0}},
        {L"8", {8, 0, 0, 0}},
        {L"1.2.3.4.5", {1, 2, 3, 4, 5}},
        {L"30704abc.2", {30704, 2, 0, 0}},
        {L"v8.0.0", {0, 0, 0, 0}},
        {L"8.0.0-rc.1", {8, 0, 0, 1}},
        {L"1..3", {1, 0, 3, 0}},
        {L" 7.+2.-1", {7, 2, -1, 0}},
        {L"4294967296.1", {0, 1, 0, 0}},
        {L"2147483647.-2147483648", {2147483647, -2147483648LL, 0, 0}},
        {L"2147483648", {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrereqInstaller::parseVersionParts(c.text), c.parts) << std::string(c.text, c.text + wcslen(c.text));
    }
}

TEST(PrereqVersions, ComparesOnlyThePartsBothHave) {
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        int result;
    } cases[] = {
        {L"14.30.30704", L"14.30.30704.0", 0},
        {L"14.29.30133", L"14.30.30704", -1},
        {L"14.40.33810", L"14.30.30704", 1},
        {L"8", L"8.0.0", 0},
        {L"1.2.3.4.5", L"1.2.3.4", 0},
        {L"1.2.3.4.5", L"1.2.3.4.6", -1},
        {L"v8.0.0", L"8.0.0", -1},
        {L"8.0.0-rc.1", L"8.0.0", 1},
        {L"10.0.0", L"9.99.99", 1},
        {L"4.09.00.0904", L"4.9.0.904", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrereqInstaller::compareVersions(c.a, c.b), c.result)
            << std::string(c.a, c.a + wcslen(c.a)) << " vs " << std::string(c.b, c.b + wcslen(c.b));
    }
}

TEST(PrereqUrls, BuildsTheUrlFromTheContentRootUnlessTheRowNamesOne) {
    PrereqInfo row;
    row.installerFile = L"VC_redist.x64.exe";
    const struct {
        const wchar_t* root;
        const wchar_t* url;
    } cases[] = {
        {L"https://cdn.example/root", L"https://cdn.example/root/prerequisites/VC_redist.x64.exe"},
        {L"https://cdn.example/root/", L"https://cdn.example/root/prerequisites/VC_redist.x64.exe"},
        {L"https://cdn.example/root//", L"https://cdn.example/root//prerequisites/VC_redist.x64.exe"},
        {L"https://cdn.example/root\\", L"https://cdn.example/root\\/prerequisites/VC_redist.x64.exe"},
        {L"", L"prerequisites/VC_redist.x64.exe"},
    };
    for (const auto& c : cases) {
        PrereqInstaller installer(c.root, L"T:\\unused");
        EXPECT_EQ(installer.downloadUrlFor(row), c.url);
    }
    row.downloadUrl = L"http://elsewhere.example/x.exe?a=1";
    PrereqInstaller installer(L"https://cdn.example/", L"T:\\unused");
    EXPECT_EQ(installer.downloadUrlFor(row), L"http://elsewhere.example/x.exe?a=1");
}

TEST(PrereqExitCodes, EachKindJudgesItsInstallersExitCode) {
    const struct {
        PrereqType type;
        uint32_t exitCode;
        ErrorCode result;
        bool line;
    } cases[] = {
        {PrereqType::VcRedistX64, 0, ErrorCode::Success, false},
        {PrereqType::VcRedistX64, 3010, ErrorCode::Success, false},
        {PrereqType::VcRedistX64, 1618, ErrorCode::PrereqInstallFailed, false},
        {PrereqType::VcRedistX64, 1633, ErrorCode::InternalError, false},
        {PrereqType::VcRedistX64, 1603, ErrorCode::PrereqInstallFailed, true},
        {PrereqType::VcRedistX64, 0x80070005u, ErrorCode::PrereqInstallFailed, true},
        {PrereqType::DotNetRuntime8, 3010, ErrorCode::Success, false},
        {PrereqType::DotNetRuntime8, 0x80070005u, ErrorCode::InsufficientPrivileges, false},
        {PrereqType::DotNetRuntime8, 0x80072F76u, ErrorCode::NetworkUnreachable, false},
        {PrereqType::DotNetRuntime8, 1618, ErrorCode::PrereqInstallFailed, true},
        {PrereqType::DirectXRuntime, 0, ErrorCode::Success, false},
        {PrereqType::DirectXRuntime, 1, ErrorCode::PrereqInstallFailed, true},
        {PrereqType::DirectXRuntime, 1633, ErrorCode::PrereqInstallFailed, true},
        {PrereqType::WindowsSdk, 3010, ErrorCode::Success, false},
        {PrereqType::WindowsSdk, 0x80070005u, ErrorCode::PrereqInstallFailed, true},
    };
    for (const auto& c : cases) {
        PrereqInstaller installer(L"", L"T:\\unused");
        StdoutCapture capture;
        EXPECT_EQ(installer.checkInstallerExitCode(c.type, c.exitCode), c.result)
            << static_cast<int>(c.type) << " " << c.exitCode;
        const std::vector<std::string> errors = messages(capture.events(), "ERROR");
        if (c.line) {
            EXPECT_EQ(errors, std::vector<std::string>{"Installer failed with exit code: " + std::to_string(c.exitCode)});
        } else {
            EXPECT_TRUE(errors.empty()) << errors.front();
        }
    }
}

class PrereqRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        subKey_ = L"SOFTWARE\\KorvelTests\\Prereq" + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  key_.put(), nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        key_.reset();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey_.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, subKey_.c_str());
    }
    void set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    std::wstring subKey_;
    RegistryKeyHandle key_;
};

TEST_F(PrereqRegistry, ReadsStringValuesAndRefusesOthers) {
    const wchar_t text[] = L"14.40.33810";
    const wchar_t expand[] = L"%SystemRoot%\\x";
    const wchar_t embedded[] = L"8.0.11\0tail";
    const DWORD number = 14;
    set(L"Version", REG_SZ, text, sizeof text);
    set(L"", REG_SZ, L"8.0.11", 14);
    set(L"Expand", REG_EXPAND_SZ, expand, sizeof expand);
    set(L"NoTerminator", REG_SZ, L"4.09", 8);
    set(L"Embedded", REG_SZ, embedded, sizeof embedded);
    set(L"Empty", REG_SZ, L"", 0);
    set(L"OddSize", REG_SZ, L"ab", 3);
    set(L"Number", REG_DWORD, &number, sizeof number);
    set(L"Binary", REG_BINARY, "ab", 2);

    const struct {
        const wchar_t* name;
        ErrorCode result;
        const wchar_t* text;
        const char* error;
    } cases[] = {
        {L"Version", ErrorCode::Success, L"14.40.33810", nullptr},
        {L"", ErrorCode::Success, L"8.0.11", nullptr},
        {L"Expand", ErrorCode::Success, L"%SystemRoot%\\x", nullptr},
        {L"NoTerminator", ErrorCode::Success, L"4.09", nullptr},
        {L"Embedded", ErrorCode::Success, L"8.0.11", nullptr},
        {L"Empty", ErrorCode::Success, L"", nullptr},
        // The buffer is the reported size rounded down to whole characters,
        // too small for the odd byte: the read fails.
        {L"OddSize", ErrorCode::RegistryAccessDenied, L"", "Failed to read registry value: OddSize"},
        {L"Number", ErrorCode::RegistryValueNotFound, L"", "Registry value is not a string: Number"},
        {L"Binary", ErrorCode::RegistryValueNotFound, L"", "Registry value is not a string: Binary"},
        {L"Missing", ErrorCode::RegistryValueNotFound, L"", nullptr},
    };
    PrereqInstaller installer(L"", L"T:\\unused");
    for (const auto& c : cases) {
        StdoutCapture capture;
        std::wstring value = L"stale";
        EXPECT_EQ(installer.readRegistryString(subKey_, c.name, value), c.result);
        EXPECT_EQ(value, c.text);
        const std::vector<std::string> errors = messages(capture.events(), "ERROR");
        EXPECT_EQ(errors, c.error ? std::vector<std::string>{c.error} : std::vector<std::string>{});
    }

    StdoutCapture capture;
    std::wstring value;
    EXPECT_EQ(installer.readRegistryString(subKey_ + L"\\NoSuchKey", L"Version", value),
              ErrorCode::RegistryKeyNotFound);
    EXPECT_TRUE(messages(capture.events(), "ERROR").empty());
}

TEST(PrereqFileVersion, ReadsTheFixedFileVersion) {
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    PrereqInstaller installer(L"", L"T:\\unused");
    std::wstring version;
    EXPECT_EQ(installer.getFileVersion(self, version), ErrorCode::Success);
    EXPECT_EQ(version, L"14.30.30704.7");

    test::ScratchDir scratch;
    const std::filesystem::path plain = scratch / L"plain.dll";
    test::writeFile(plain, "no version resource here");
    StdoutCapture capture;
    EXPECT_EQ(installer.getFileVersion(plain.wstring(), version), ErrorCode::FileAccessDenied);
    EXPECT_EQ(version, L"");
    const std::vector<std::string> errors = messages(capture.events(), "ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Failed to get version info size for: " + plain.string(), 0), 0u) << errors[0];
}

TEST(PrereqDigests, ARowWithoutADigestIsNeitherDownloadedNorRun) {
    test::ScratchDir scratch;
    const std::filesystem::path folder = scratch / L"KorvelPrereqs";
    // A port nothing listens on: were a download tried, it would fail with
    // another code after the retries.
    PrereqInstaller installer(L"http://127.0.0.1:9/", folder);
    ASSERT_EQ(installer.initialize(), ErrorCode::Success);
    for (PrereqInfo& row : installer.prerequisites()) row.installed = true;
    PrereqInfo& dotnet = installer.prerequisites()[1];
    dotnet.installed = false;
    dotnet.sha256.clear();

    StdoutCapture capture;
    EXPECT_EQ(installer.downloadMissing(), ErrorCode::PrereqVerifyFailed);
    const std::vector<std::string> errors = messages(capture.events(), "ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(".NET 8.0 Desktop Runtime"), std::string::npos) << errors[0];
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(PrereqDigests, EveryBuiltInRowCarriesAConfiguredDigest) {
    PrereqInstaller installer(L"", L"T:\\unused");
    installer.buildPrerequisiteTable();
    ASSERT_GE(installer.prerequisites().size(), 2u);
    for (const PrereqInfo& row : installer.prerequisites()) {
        EXPECT_EQ(row.sha256.size(), 64u) << row.sha256;
        EXPECT_TRUE(row.required);
        EXPECT_TRUE(row.downloadUrl.empty());
    }
}

}  // namespace
}  // namespace korvel
