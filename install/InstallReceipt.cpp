#include "install/InstallReceipt.h"

#include <windows.h>

#include <json/value.h>
#include <json/writer.h>

#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <sstream>

#include "common/EventLogger.h"
#include "common/FileOperations.h"
#include "common/UniqueResource.h"
#include "common/TextConversion.h"
#include "common/WriteAllBytes.h"

namespace korvel {
namespace fs = std::filesystem;

const wchar_t kInstallReceiptFileName[] = L"InstallReceipt.json";

namespace {

const char kComponent[] = "install_receipt";

const ComponentLog logLine(kComponent);

Json::Value stringArray(const std::vector<std::wstring>& items) {
    Json::Value array(Json::arrayValue);
    for (const std::wstring& item : items) array.append(utf16ToUtf8Strict(item));
    return array;
}

Json::Value componentJson(const ReceiptComponent& component) {
    Json::Value value(Json::objectValue);
    value["version"] = utf16ToUtf8Strict(component.version);
    value["files"] = stringArray(component.files);
    return value;
}

// Removes our own unfinished file; nothing else is ever deleted here.
void discardTemporary(const fs::path& temporary) noexcept {
    if (!DeleteFileW(temporary.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        FileOperations::logWin32Failure("DeleteFile", temporary, GetLastError());
}

// An existing receipt that could not be opened for writing (read-only, a
// folder in its place, locked) is not replaced either. The read-only flag is
// looked at by itself, since a process that may write any file (Wine run as
// root) would otherwise open it anyway.
bool existingTargetWritable(const fs::path& target) {
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
    ScopedHandle probe(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND;
}

}  // namespace

std::wstring formatUtcTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (gmtime_s(&parts, &now) != 0) return std::wstring();
    wchar_t text[64];
    swprintf(text, sizeof text / sizeof text[0], L"%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
             parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

InstallReceipt createInstallReceipt(const std::wstring& installPath, const std::wstring& version) {
    InstallReceipt receipt;
    receipt.version = version;
    receipt.installPath = installPath;
    receipt.installDate = formatUtcTimestamp();
    receipt.launcherPath = installPath + L"\\Launcher";
    return receipt;
}

void setComponent(InstallReceipt& receipt, const std::wstring& name, const std::wstring& version,
                  const std::vector<std::wstring>& files) {
    ReceiptComponent* slot = name == L"launcher" ? &receipt.launcher
                             : name == L"client" ? &receipt.client
                             : name == L"helper" ? &receipt.helper
                                                 : nullptr;
    if (slot == nullptr) {
        logLine(LogLevel::Warning, "Unknown component: " + wideToUtf8(name));
        return;
    }
    slot->version = version;
    slot->files = files;
}

std::string receiptToJson(const InstallReceipt& receipt) {
    Json::Value root(Json::objectValue);
    root["version"] = utf16ToUtf8Strict(receipt.version);
    root["installDate"] = utf16ToUtf8Strict(receipt.installDate);
    root["installPath"] = utf16ToUtf8Strict(receipt.installPath);
    root["launcherPath"] = utf16ToUtf8Strict(receipt.launcherPath);

    Json::Value components(Json::nullValue);
    const std::pair<const char*, const ReceiptComponent*> parts[] = {
        {"launcher", &receipt.launcher}, {"client", &receipt.client}, {"helper", &receipt.helper}};
    for (const auto& [name, component] : parts) {
        if (!component->version.empty()) components[name] = componentJson(*component);
    }
    root["components"] = components;

    Json::Value shortcuts(Json::arrayValue);
    for (const ShortcutEntry& entry : receipt.shortcuts) {
        Json::Value item(Json::objectValue);
        item["name"] = utf16ToUtf8Strict(entry.name);
        item["type"] = utf16ToUtf8Strict(entry.type);
        item["scope"] = utf16ToUtf8Strict(entry.scope);
        shortcuts.append(item);
    }
    root["shortcuts"] = shortcuts;

    Json::Value registry(Json::objectValue);
    registry["uninstallKey"] = utf16ToUtf8Strict(receipt.uninstallKey);
    root["registry"] = registry;
    root["services"] = stringArray(receipt.services);
    root["scheduledTasks"] = stringArray(receipt.scheduledTasks);
    root["firewallRules"] = stringArray(receipt.firewallRules);

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, root);
}

ErrorCode writeInstallReceipt(const InstallReceipt& receipt, const std::wstring& path) {
    logLine(LogLevel::Info, "Writing install receipt: " + wideToUtf8(path));
    try {
        const std::string text = receiptToJson(receipt);
        const fs::path target(path);
        const fs::path parent = target.parent_path();
        // The receipt lies in the install folder, which a plan's apply has
        // made and checked before; this makes it only for a receipt written
        // on its own, by path like the target's own folders (see
        // FileOperations::createDirectory).
        if (!parent.empty() && !fs::exists(parent)) fs::create_directories(parent);

        if (!existingTargetWritable(target)) {
            logLine(LogLevel::Error, "Failed to open receipt file for writing");
            return ErrorCode::FileWriteFailed;
        }
        const fs::path temporary = FileOperations::temporaryPathBeside(target);
        ScopedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            logLine(LogLevel::Error, "Failed to open receipt file for writing");
            return ErrorCode::FileWriteFailed;
        }
        const bool written = writeAllBytes(file.get(), text, true);
        file.close();
        // The finished text replaces the old receipt in one step; until then
        // the old one is untouched.
        if (!written || !MoveFileExW(temporary.c_str(), target.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const DWORD error = GetLastError();
            discardTemporary(temporary);
            logLine(LogLevel::Error, "Failed to write receipt file");
            logLine(LogLevel::Debug, "Receipt write error: " + std::to_string(error));
            return ErrorCode::FileWriteFailed;
        }
        logLine(LogLevel::Info, "Install receipt written successfully");
        return ErrorCode::Success;
    } catch (const std::exception& e) {
        logLine(LogLevel::Error, std::string("Exception writing receipt: ") + e.what());
        return ErrorCode::InternalError;
    }
}

}  // namespace korvel
