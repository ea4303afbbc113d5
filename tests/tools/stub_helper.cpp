// Stands in for the elevated helper behind the launcher: records the
// arguments it received and exits with a code the test chooses.
//
//   KORVEL_STUB_RECORD  file to write: one JSON object {"argv": [...],
//                       "command_line": "...", "cwd": "..."} in UTF-8
//   KORVEL_STUB_EXIT    exit code (decimal), 0 when unset
#include <windows.h>

#include <json/writer.h>

#include <cstdlib>
#include <string>

#include "common/TextConversion.h"
#include "common/UniqueResource.h"

namespace {

std::wstring environmentValue(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    return n == 0 || n >= 32768 ? std::wstring() : std::wstring(buffer, n);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Json::Value record(Json::objectValue);
    record["argv"] = Json::Value(Json::arrayValue);
    for (int i = 1; i < argc; ++i) record["argv"].append(korvel::wideToUtf8(argv[i]));
    record["command_line"] = korvel::wideToUtf8(GetCommandLineW());
    wchar_t cwd[32768];
    const DWORD n = GetCurrentDirectoryW(32768, cwd);
    record["cwd"] = korvel::wideToUtf8(std::wstring(cwd, n < 32768 ? n : 0));

    const std::wstring out = environmentValue(L"KORVEL_STUB_RECORD");
    if (!out.empty()) {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        const std::string text = Json::writeString(builder, record) + "\n";
        korvel::ScopedHandle file(
            CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!file) return 90;
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return 91;
    }
    const std::wstring code = environmentValue(L"KORVEL_STUB_EXIT");
    return code.empty() ? 0 : static_cast<int>(std::wcstoul(code.c_str(), nullptr, 10));
}
