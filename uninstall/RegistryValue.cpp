#include "uninstall/RegistryValue.h"

#include <algorithm>

namespace korvel {

ErrorCode readStringValue(const RegistryKeyHandle& key, const std::wstring& valueName, std::wstring& value) {
    if (!key) return ErrorCode::RegistryAccessDenied;
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return ErrorCode::RegistryValueNotFound;
    if (status != ERROR_SUCCESS) return ErrorCode::RegistryAccessDenied;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ErrorCode::RegistryValueNotFound;
    std::wstring buffer(size / sizeof(wchar_t), L'\0');
    DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    // A value that grew between the two queries fails here (more data).
    status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                              &got);
    if (status != ERROR_SUCCESS) return ErrorCode::RegistryAccessDenied;
    buffer.resize(std::min<size_t>(buffer.size(), got / sizeof(wchar_t)));
    const size_t nul = buffer.find(L'\0');
    if (nul != std::wstring::npos) buffer.resize(nul);
    value = std::move(buffer);
    return ErrorCode::Success;
}

}  // namespace korvel
