#include "uninstall/InstallReceiptReader.h"

#include <windows.h>

#include <json/reader.h>

#include <cstdint>
#include <memory>
#include <system_error>
#include <stdexcept>

#include "common/DocumentRead.h"
#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "common/PathCompare.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"

namespace korvel {
namespace fs = std::filesystem;
namespace {

const char kComponent[] = "install_receipt";

const ComponentLog logLine(kComponent);

bool isDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// "C:" or "C:name": a drive without its root.
bool isDriveRelative(const std::wstring& p) {
    return p.size() >= 2 && isDriveLetter(p[0]) && p[1] == L':' && (p.size() == 2 || !isPathSeparator(p[2]));
}

// "\name" or "/name": a root without a drive ("\\server" has a root name).
bool isRootedWithoutDrive(const std::wstring& p) {
    return !p.empty() && isPathSeparator(p[0]) && !(p.size() >= 2 && isPathSeparator(p[1]));
}

bool holdsNul(const std::wstring& p) { return p.find(L'\0') != std::wstring::npos; }

// Text of a member that should be a string: null and missing read as empty,
// numbers and bools as their JSON text; arrays and objects throw.
std::string memberText(const Json::Value& object, const char* name) {
    if (object.isNull()) return std::string();
    const Json::Value& value = object[name];
    return value.isNull() ? std::string() : value.asString();
}

}  // namespace

fs::path getReceiptPath(const std::wstring& folder) { return fs::path(folder) / kInstallReceiptFileName; }

bool hasDotDotComponent(const std::wstring& path) {
    try {
        for (const fs::path& element : fs::path(path)) {
            if (element.native() == L"..") return true;
        }
        return false;
    } catch (...) {
        return true;
    }
}

bool isSafeInstallRoot(const std::wstring& path) {
    try {
        if (path.empty() || holdsNul(path)) return false;
        if (hasDotDotComponent(path)) return false;
        if (isDriveRelative(path) || isRootedWithoutDrive(path)) return false;
        std::wstring full;
        uint32_t error = 0;
        return getFullPathName(path, full, error);
    } catch (...) {
        return false;
    }
}

bool isPathContainedIn(const std::wstring& candidate, const std::wstring& root) {
    try {
        if (candidate.empty()) return true;
        if (holdsNul(candidate) || root.empty() || holdsNul(root)) return false;
        if (hasDotDotComponent(root) || hasDotDotComponent(candidate)) return false;
        if (isDriveRelative(candidate) || isRootedWithoutDrive(candidate)) return false;
        std::wstring rootFull;
        uint32_t error = 0;
        if (!getFullPathName(root, rootFull, error)) return false;
        const bool qualified = (candidate.size() >= 3 && isDriveLetter(candidate[0]) && candidate[1] == L':') ||
                               (candidate.size() >= 2 && isPathSeparator(candidate[0]) && isPathSeparator(candidate[1]));
        const std::wstring joined = qualified ? candidate : root + L"\\" + candidate;
        std::wstring candidateFull;
        if (!getFullPathName(joined, candidateFull, error)) return false;
        return isSameOrInside(candidateFull, rootFull);
    } catch (...) {
        return false;
    }
}

bool readComponentFiles(const InstallReceipt& receipt, const Json::Value& component,
                        std::vector<std::wstring>& files) {
    if (!component.isObject() || !component.isMember("files")) return true;
    const Json::Value& list = component["files"];
    if (!list.isArray()) return true;
    for (const Json::Value& item : list) {
        const std::wstring file = utf8ToPath(item.asString()).wstring();
        if (!isPathContainedIn(file, receipt.installPath)) return false;
        files.push_back(file);
    }
    return true;
}

ErrorCode parseReceiptJson(const std::string& text, InstallReceipt& receipt) {
    try {
        if (text.find('\0') != std::string::npos) {
            logLine(LogLevel::Error, "Receipt JSON contains an embedded NUL");
            return ErrorCode::InvalidArguments;
        }
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        std::string errors;
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
            logLine(LogLevel::Error, "JSON parse error: " + errors);
            return ErrorCode::InvalidArguments;
        }
        if (jsonHasEmbeddedNul(root)) {
            logLine(LogLevel::Error, "Receipt JSON contains an escaped embedded NUL");
            return ErrorCode::InvalidArguments;
        }
        if (!root.isObject() && !root.isNull()) throw std::runtime_error("Receipt JSON is not an object");

        receipt = InstallReceipt();
        receipt.version = utf8ToUtf16(memberText(root, "version"));
        receipt.installDate = utf8ToUtf16(memberText(root, "installDate"));
        receipt.installPath = utf8ToPath(memberText(root, "installPath")).wstring();
        receipt.launcherPath = utf8ToPath(memberText(root, "launcherPath")).wstring();

        if (!isSafeInstallRoot(receipt.installPath) ||
            !isPathContainedIn(receipt.launcherPath, receipt.installPath)) {
            logLine(LogLevel::Warning, "Receipt installPath/launcherPath is not safely contained");
            return ErrorCode::InvalidArguments;
        }

        if (root.isMember("components")) {
            const Json::Value& components = root["components"];
            const struct {
                const char* name;
                ReceiptComponent InstallReceipt::*field;
            } parts[] = {{"launcher", &InstallReceipt::launcher},
                         {"client", &InstallReceipt::client},
                         {"helper", &InstallReceipt::helper}};
            for (const auto& part : parts) {
                if (!components.isMember(part.name)) continue;
                const Json::Value& component = components[part.name];
                ReceiptComponent& target = receipt.*part.field;
                target.version = utf8ToUtf16(memberText(component, "version"));
                if (!readComponentFiles(receipt, component, target.files)) return ErrorCode::InvalidArguments;
            }
        }
        if (root.isMember("shortcuts") && root["shortcuts"].isArray()) {
            for (const Json::Value& item : root["shortcuts"]) {
                ShortcutEntry entry;
                entry.name = utf8ToUtf16(memberText(item, "name"));
                entry.type = utf8ToUtf16(memberText(item, "type"));
                entry.scope = utf8ToUtf16(memberText(item, "scope"));
                receipt.shortcuts.push_back(std::move(entry));
            }
        }
        if (root.isMember("registry")) receipt.uninstallKey = utf8ToUtf16(memberText(root["registry"], "uninstallKey"));
        const struct {
            const char* name;
            std::vector<std::wstring> InstallReceipt::*field;
        } lists[] = {{"services", &InstallReceipt::services},
                     {"scheduledTasks", &InstallReceipt::scheduledTasks},
                     {"firewallRules", &InstallReceipt::firewallRules}};
        for (const auto& list : lists) {
            if (!root.isMember(list.name) || !root[list.name].isArray()) continue;
            for (const Json::Value& item : root[list.name]) (receipt.*list.field).push_back(utf8ToUtf16(item.asString()));
        }
        return ErrorCode::Success;
    } catch (const std::exception& e) {
        logLine(LogLevel::Error, std::string("Exception parsing JSON: ") + e.what());
        return ErrorCode::InternalError;
    }
}

ErrorCode readInstallReceipt(const fs::path& receiptPath, InstallReceipt& receipt) {
    try {
        logLine(LogLevel::Info, "Reading install receipt: " + pathToUtf8(receiptPath));
        if (!entryExistsOrThrow(receiptPath)) {
            logLine(LogLevel::Warning, "Receipt file not found");
            return ErrorCode::FileNotFound;
        }
        ScopedHandle file(CreateFileW(receiptPath.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            logLine(LogLevel::Error, "Failed to open receipt file for reading");
            return ErrorCode::FileReadFailed;
        }
        std::string content;
        const DocumentReadResult read = readWholeDocument(file.get(), kMaxDocumentBytes, content);
        if (read.outcome == DocumentReadOutcome::TooLarge) {
            logLine(LogLevel::Error, "Receipt file is larger than " + std::to_string(kMaxDocumentBytes) + " bytes");
            logLine(LogLevel::Error, "Failed to parse receipt JSON");
            return ErrorCode::InvalidArguments;
        }
        if (read.outcome != DocumentReadOutcome::Read) {
            throw std::system_error(static_cast<int>(read.win32Error), std::system_category(), "read receipt");
        }
        file.close();
        const ErrorCode code = parseReceiptJson(content, receipt);
        if (code != ErrorCode::Success) {
            logLine(LogLevel::Error, "Failed to parse receipt JSON");
            return code;
        }
        logLine(LogLevel::Info, "Install receipt read successfully");
        return ErrorCode::Success;
    } catch (const std::exception& e) {
        logLine(LogLevel::Error, std::string("Exception reading receipt: ") + e.what());
        return ErrorCode::InternalError;
    }
}

}  // namespace korvel
