#include "common/Registry.h"

#include <algorithm>

namespace korvel {

RegistryTextRead readRegistryText(HKEY key, const std::wstring& valueName, RegistryOddByte oddByte,
                                  std::wstring& text) {
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS answer = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size);
    if (answer == ERROR_FILE_NOT_FOUND) return RegistryTextRead::NoValue;
    if (answer != ERROR_SUCCESS) return RegistryTextRead::QueryFailed;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return RegistryTextRead::NotText;
    const size_t room = oddByte == RegistryOddByte::Dropped ? size_t{size} + 1 : size_t{size};
    std::wstring buffer(room / sizeof(wchar_t), L'\0');
    if (!buffer.empty()) {
        DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        answer = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                  &got);
        if (answer != ERROR_SUCCESS) return RegistryTextRead::ReadFailed;
        buffer.resize(std::min<size_t>(buffer.size(), got / sizeof(wchar_t)));
    }
    const size_t nul = buffer.find(L'\0');
    if (nul != std::wstring::npos) buffer.resize(nul);
    text = std::move(buffer);
    return RegistryTextRead::Read;
}

ErrorCode registryTextResult(RegistryTextRead read) {
    switch (read) {
        case RegistryTextRead::Read: return ErrorCode::Success;
        case RegistryTextRead::NoValue:
        case RegistryTextRead::NotText: return ErrorCode::RegistryValueNotFound;
        case RegistryTextRead::QueryFailed:
        case RegistryTextRead::ReadFailed: break;
    }
    return ErrorCode::RegistryAccessDenied;
}

bool readRegistryNumber(HKEY key, const wchar_t* valueName, uint32_t& value) {
    DWORD data = 0;
    DWORD type = 0;
    DWORD size = sizeof data;
    if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return false;
    value = data;
    return true;
}

}  // namespace korvel
