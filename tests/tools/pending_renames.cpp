// Reads or clears the renames and deletions that Windows carries out at the
// next restart (PendingFileRenameOperations), for host-side tests.
//   pending_renames show    one JSON line: the value's texts in order, empty
//                           ones included (a deletion pairs a path with "")
//   pending_renames clear   deletes the value (a missing one is fine)
#include <windows.h>

#include <json/value.h>
#include <json/writer.h>

#include <string>
#include <vector>

#include "common/ConsoleOutput.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"

namespace {

const wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kValue[] = L"PendingFileRenameOperations";

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc == 2 ? argv[1] : L"";
    korvel::RegistryKeyHandle key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return 2;
    if (command == L"clear") {
        const LSTATUS status = RegDeleteValueW(key.get(), kValue);
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 0 : 2;
    }
    if (command != L"show") return 1;
    Json::Value items(Json::arrayValue);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), kValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
        std::wstring all(size / sizeof(wchar_t), L'\0');
        if (RegQueryValueExW(key.get(), kValue, nullptr, &type, reinterpret_cast<BYTE*>(all.data()), &size) !=
            ERROR_SUCCESS)
            return 2;
        all.resize(size / sizeof(wchar_t));
        // Each text ends in a NUL and the list in one more.
        if (!all.empty() && all.back() == L'\0') all.pop_back();
        std::vector<std::wstring> texts;
        for (size_t at = 0; at <= all.size();) {
            size_t end = all.find(L'\0', at);
            if (end == std::wstring::npos) end = all.size();
            texts.push_back(all.substr(at, end - at));
            at = end + 1;
        }
        if (!texts.empty() && texts.back().empty()) texts.pop_back();
        for (const std::wstring& text : texts) items.append(korvel::wideToUtf8(text));
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    korvel::writeStdoutLine(korvel::utf8ToUtf16(Json::writeString(builder, items)));
    return 0;
}
