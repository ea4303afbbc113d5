// Reads and plants registry values below HKEY_LOCAL_MACHINE for host-side tests.
//   reg_tool dump <key>                  one JSON line: {"exists": bool, "values": {name: {"type", "data"}}}
//   reg_tool set-dword <key> <name> <n>  creates the key as needed
//   reg_tool delete <key>                deletes the key tree (a missing key is fine)
// REG_SZ data is the text without its terminating NUL (the "size" member
// gives the byte count stored); REG_DWORD data is the number.
#include <windows.h>

#include <json/value.h>
#include <json/writer.h>

#include <string>
#include <vector>

#include "common/ConsoleOutput.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"

namespace {

using korvel::RegistryKeyHandle;

Json::Value dump(const std::wstring& keyPath) {
    Json::Value out(Json::objectValue);
    RegistryKeyHandle key;
    out["exists"] = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    out["values"] = Json::Value(Json::objectValue);
    if (!out["exists"].asBool()) return out;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        std::vector<BYTE> data(65536);
        DWORD size = static_cast<DWORD>(data.size());
        if (RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            break;
        Json::Value value(Json::objectValue);
        value["size"] = static_cast<Json::UInt>(size);
        if (type == REG_SZ) {
            value["type"] = "REG_SZ";
            std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
            if (!text.empty() && text.back() == L'\0') text.pop_back();
            value["data"] = korvel::wideToUtf8(text);
        } else if (type == REG_DWORD && size == 4) {
            value["type"] = "REG_DWORD";
            value["data"] = static_cast<Json::UInt>(*reinterpret_cast<const DWORD*>(data.data()));
        } else {
            value["type"] = static_cast<Json::UInt>(type);
        }
        out["values"][korvel::wideToUtf8(std::wstring(name, nameLength))] = value;
    }
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"dump" && argc == 3) {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        korvel::writeStdoutLine(korvel::utf8ToUtf16(Json::writeString(builder, dump(argv[2]))));
        return 0;
    }
    if (command == L"set-dword" && argc == 5) {
        RegistryKeyHandle key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[2], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
            ERROR_SUCCESS)
            return 2;
        const DWORD value = static_cast<DWORD>(std::stoul(argv[4]));
        return RegSetValueExW(key.get(), argv[3], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4) ==
                       ERROR_SUCCESS
                   ? 0
                   : 2;
    }
    if (command == L"delete" && argc == 3) {
        const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, argv[2]);
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 0 : 2;
    }
    korvel::writeStderrLine(L"usage: reg_tool dump <key> | set-dword <key> <name> <n> | delete <key>");
    return 1;
}
