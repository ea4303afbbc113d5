// What the orphan cleanup may delete: the expected set read from the
// session's files manifest, the inventory of the target, the allowlist, and
// the split of the inventory into orphan files and folders. Only reads.
#include "orphan/OrphanCleanup.h"

#include "common/DirectoryWalker.h"
#include "common/DocumentRead.h"
#include "common/ErrorCodes.h"
#include "common/FileSystemQueries.h"
#include "common/PathSafety.h"
#include "common/PinnedDirectory.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "common/Win32Util.h"
#include "orphan/OrphanInternal.h"

#include <windows.h>

#include <json/reader.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace korvel {

using namespace orphan_detail;

namespace {

std::wstring slashed(std::wstring text) {
    std::replace(text.begin(), text.end(), L'\\', L'/');
    return text;
}

// The key as the comparisons see it: wide text, '/' separated.
std::wstring wideKey(const std::string& key) { return slashed(utf8ToUtf16(key)); }

size_t depthOf(const std::string& key) { return static_cast<size_t>(std::count(key.begin(), key.end(), '/')); }

// The walk reports a path in the form it opened; compare without a trailing
// separator and with '\' only.
std::wstring comparablePath(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    while (path.size() > 1 && path.back() == L'\\') path.pop_back();
    return path;
}

}  // namespace

bool pathLessIgnoreCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() > static_cast<size_t>(INT_MAX) || b.size() > static_cast<size_t>(INT_MAX))
        throw std::length_error("Path is too large to compare");
    const int result = CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                            static_cast<int>(b.size()), TRUE);
    if (result == 0) throw std::runtime_error("CompareStringOrdinal failed");
    return result == CSTR_LESS_THAN;
}

CaseInsensitivePathSet makeCaseInsensitivePathSet(const KeySet& keys) {
    CaseInsensitivePathSet out;
    for (const std::string& key : keys) out.insert(wideKey(key));
    return out;
}

std::string trimPathSeparators(std::string text) {
    const auto isSeparator = [](char c) { return c == '/' || c == '\\'; };
    size_t begin = 0;
    while (begin < text.size() && isSeparator(text[begin])) ++begin;
    text.erase(0, begin);
    while (!text.empty() && isSeparator(text.back())) text.pop_back();
    return text;
}

std::string makeOrphanKey(const std::string& relativePath) {
    std::string key = relativePath;
    std::replace(key.begin(), key.end(), '\\', '/');
    key = trimPathSeparators(std::move(key));
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return key;
}

bool isLinkEntry(uint32_t attributes, uint32_t reparseTag) noexcept {
    return isNameSurrogateEntry(attributes, reparseTag);
}

namespace {

// Whether two descriptor paths name the same file as text: both made full,
// letter case ignored.
bool sameDescriptor(const std::wstring& a, const std::wstring& b) {
    std::wstring fullA;
    std::wstring fullB;
    uint32_t error = 0;
    if (!getFullPathName(a, fullA, error) || !getFullPathName(b, fullB, error)) return false;
    return samePath(fullA, fullB);
}

}  // namespace

int OrphanCleanup::readExpectedFiles(const std::wstring& filesManifest, KeySet& expected,
                                     const AppliedRelease* earlier) {
    logInfo("Reading expected files from: " + wideToUtf8(filesManifest));
    try {
        KeySet keys;
        // Each name must be safe, whoever gave it.
        const auto add = [&](const std::string& text) {
            if (!isSafeRelativePathUtf8(text)) {
                logWarning("Files manifest contains an unsafe relative path", kComponent);
                return false;
            }
            keys.insert(makeOrphanKey(text));
            return true;
        };
        if (earlier != nullptr && earlier->readDescriptor && sameDescriptor(earlier->descriptorPath, filesManifest)) {
            // The descriptor as the apply read it: what is on disk now may
            // have been rewritten since.
            for (const std::string& name : earlier->descriptorNames) {
                if (!name.empty() && !add(name)) return toInt(ErrorCode::InvalidArguments);
            }
        } else {
            // A caller document: read through one handle within the cap.
            ScopedHandle file(CreateFileW(std::filesystem::path(filesManifest).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            std::string text;
            const DocumentReadResult read = file && GetFileType(file.get()) == FILE_TYPE_DISK
                                                ? readWholeDocument(file.get(), kMaxDocumentBytes, text)
                                                : DocumentReadResult{DocumentReadOutcome::ReadFailed, 0};
            if (read.outcome == DocumentReadOutcome::TooLarge) {
                logWarning("Failed to parse files manifest: larger than " + std::to_string(kMaxDocumentBytes) +
                               " bytes",
                           kComponent);
                return toInt(ErrorCode::ManifestParseFailed);
            }
            if (read.outcome != DocumentReadOutcome::Read) {
                logWarning("Failed to open files manifest", kComponent);
                return toInt(ErrorCode::FileNotFound);
            }
            Json::CharReaderBuilder builder;
            const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            Json::Value document;
            std::string errors;
            if (!reader->parse(text.data(), text.data() + text.size(), &document, &errors)) {
                logWarning("Failed to parse files manifest: " + errors, kComponent);
                return toInt(ErrorCode::ManifestParseFailed);
            }
            if (jsonHasEmbeddedNul(document)) {
                logWarning("Files manifest contains an escaped embedded NUL", kComponent);
                return toInt(ErrorCode::InvalidArguments);
            }
            // A document that is neither an object nor null throws here.
            if (!document.isMember("files") || !document["files"].isArray()) {
                logWarning("Files manifest missing 'files' array", kComponent);
                return toInt(ErrorCode::InvalidArguments);
            }
            for (const Json::Value& element : document["files"]) {
                if (element.isNull()) continue;
                // An element of another non-object kind throws here.
                if (!element.isMember("file")) continue;
                const Json::Value& file = element["file"];
                if (!file.isString()) continue;
                const std::string text = file.asString();
                if (text.empty()) continue;
                if (!add(text)) return toInt(ErrorCode::InvalidArguments);
            }
        }
        // A release just applied to this target is expected whole: a delta
        // session carries only the files that changed.
        if (earlier != nullptr) {
            for (const std::string& path : earlier->manifestFiles) {
                if (!add(path)) return toInt(ErrorCode::InvalidArguments);
            }
        }
        expected = std::move(keys);
        logInfo("Read " + std::to_string(expected.size()) + " expected files from manifest");
        return 0;
    } catch (const std::exception& e) {
        logWarning(std::string("Error reading manifest: ") + e.what(), kComponent);
        return toInt(ErrorCode::InternalError);
    }
}

int OrphanCleanup::buildLocalInventory(const std::wstring& targetPath, std::vector<InventoryEntry>& inventory) {
    logInfo("Building local inventory of: " + wideToUtf8(targetPath));
    // A failing existence test leaves as a filesystem error.
    if (!std::filesystem::exists(std::filesystem::path(targetPath))) {
        logWarning("Target path does not exist: " + wideToUtf8(targetPath));
        inventory.clear();
        return 0;
    }
    try {
        std::vector<InventoryEntry> found;
        std::string failure;  // an exception met while recording an entry
        const auto visit = [&](const DirectoryWalkEntry& entry) -> bool {
            try {
                const DWORD attributes = GetFileAttributesW(toExtendedLengthPath(entry.fullPath).c_str());
                if (attributes == INVALID_FILE_ATTRIBUTES) {
                    logWarning("Skipping unreadable inventory path: " + wideToUtf8(entry.fullPath));
                    return true;
                }
                if (entry.relativePath.find(L'\0') != std::wstring::npos)
                    throw std::invalid_argument("Path contains an embedded NUL");
                const std::string relative = utf16ToUtf8Strict(entry.relativePath);
                if (!isSafeRelativePathUtf8(relative)) {
                    logWarning("Skipping unsafe path: " + relative);
                    return true;
                }
                InventoryEntry item;
                item.key = makeOrphanKey(relative);
                item.fullPath = entry.fullPath;
                item.isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                item.isReparsePoint = isLinkEntry(attributes, entry.reparseTag);
                item.size = (item.isDirectory || item.isReparsePoint) ? 0 : entry.size;
                found.push_back(std::move(item));
                return true;
            } catch (const std::exception& e) {
                failure = e.what();
                return false;
            }
        };
        // A folder that denies access is recorded but not entered, and the
        // walk goes on; any other failure below the target ends it.
        const auto onFolderError = [](const DirectoryWalkError& e) {
            return !e.refused && e.win32Error == ERROR_ACCESS_DENIED;
        };
        // Depth first: a folder, then its contents, then its next sibling.
        // The walk never descends into a reparse point, and refuses a folder
        // whose final path is not where the walk expects it.
        DirectoryWalkError error;
        const bool walked =
            inventoryWalk ? inventoryWalk(targetPath, visit, onFolderError, error)
                          : DirectoryWalker::walk(targetPath, visit, onFolderError, error, WalkOrder::DepthFirst);
        if (!failure.empty()) throw std::runtime_error(failure);
        if (!walked) {
            const std::string text = wideToUtf8(formatWin32Error(error.win32Error));
            if (samePath(comparablePath(error.path), comparablePath(targetPath))) {
                logWarning("Failed to start directory scan: " + text, kComponent);
                return toInt(ErrorCode::InternalError);
            }
            // What was recorded before the failure stands; the rest is not seen.
            logWarning("Directory inventory entry failed: " + text);
        }
        inventory = std::move(found);
        logInfo("Found " + std::to_string(inventory.size()) + " items in local inventory");
        return 0;
    } catch (const std::exception& e) {
        logWarning(std::string("Error scanning directory: ") + e.what(), kComponent);
        return toInt(ErrorCode::InternalError);
    }
}

KeySet OrphanCleanup::buildAllowlist(OrphanComponent component) {
    KeySet allowlist;
    if (component == OrphanComponent::Launcher)
        allowlist = {"korvelelevated.exe", "korvelelevatedlauncher.exe", "korveluninstall.exe"};
    logInfo("Built allowlist with " + std::to_string(allowlist.size()) + " entries for " +
            orphanComponentText(component));
    return allowlist;
}

KeySet OrphanCleanup::expectedDirectories(const KeySet& expected) {
    KeySet directories;
    for (const std::string& key : expected) {
        for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
            if (slash > 0) directories.insert(key.substr(0, slash));
        }
    }
    return directories;
}

bool OrphanCleanup::isAllowlisted(const std::string& key, const KeySet& allowlist) {
    const std::wstring wide = wideKey(key);
    std::vector<std::wstring> entries;
    for (const std::string& entry : allowlist) entries.push_back(wideKey(entry));
    for (const std::wstring& entry : entries) {
        if (samePath(wide, entry)) return true;
    }
    for (const std::wstring& entry : entries) {
        if (wide.size() > entry.size() && wide[entry.size()] == L'/' && samePath(wide.substr(0, entry.size()), entry))
            return true;
    }
    const size_t slash = wide.rfind(L'/');
    const std::wstring last = slash == std::wstring::npos ? wide : wide.substr(slash + 1);
    for (const std::wstring& entry : entries) {
        if (samePath(last, entry)) return true;
    }
    return false;
}

int OrphanCleanup::computeOrphans(const std::vector<InventoryEntry>& inventory, const KeySet& expected,
                                  const KeySet& allowlist, std::vector<InventoryEntry>& orphanFiles,
                                  std::vector<InventoryEntry>& orphanDirectories) {
    logInfo("Computing orphans from " + std::to_string(inventory.size()) + " observed items against " +
            std::to_string(expected.size()) + " expected files");
    KeySet directories = expectedDirectories(expected);
    directories.insert(allowlist.begin(), allowlist.end());
    const CaseInsensitivePathSet expectedFiles = makeCaseInsensitivePathSet(expected);
    const CaseInsensitivePathSet expectedDirs = makeCaseInsensitivePathSet(directories);

    for (const InventoryEntry& entry : inventory) {
        const std::wstring key = wideKey(entry.key);
        if (entry.isReparsePoint) {
            // Neither the manifest nor the allowlist keeps a link.
            InventoryEntry orphan = entry;
            orphan.size = 0;
            (entry.isDirectory ? orphanDirectories : orphanFiles).push_back(std::move(orphan));
            continue;
        }
        if (isAllowlisted(entry.key, allowlist)) continue;
        if (!entry.isDirectory) {
            if (expectedFiles.count(key) == 0) orphanFiles.push_back(entry);
            continue;
        }
        if (expectedDirs.count(key) == 0) {
            InventoryEntry orphan = entry;
            orphan.size = 0;
            orphanDirectories.push_back(std::move(orphan));
        }
    }
    // Deepest first, so a folder is tried after everything orphaned inside it.
    std::stable_sort(orphanDirectories.begin(), orphanDirectories.end(),
                     [](const InventoryEntry& a, const InventoryEntry& b) { return depthOf(a.key) > depthOf(b.key); });
    logInfo("Found " + std::to_string(orphanFiles.size()) + " orphan files and " +
            std::to_string(orphanDirectories.size()) + " orphan directories");
    return 0;
}

}  // namespace korvel
