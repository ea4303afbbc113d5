#pragma once
// Reading the install receipt back, and the path rules that decide whether a
// receipt is believed: its install path must be a usable root and every path
// it names must lie inside that root.
#include <filesystem>
#include <string>
#include <vector>

#include <json/value.h>

#include "common/ErrorCodes.h"
#include "install/InstallReceipt.h"

namespace korvel {

std::filesystem::path getReceiptPath(const std::wstring& folder);
// 0, 141 (no file), 150 (cannot be opened), 1 (refused) or 4 (exception).
ErrorCode readInstallReceipt(const std::filesystem::path& receiptPath, InstallReceipt& receipt);
// 0, 1 (refused) or 4 (a value of the wrong kind, invalid UTF-8).
ErrorCode parseReceiptJson(const std::string& text, InstallReceipt& receipt);
// False when a listed file lies outside the receipt's install path.
bool readComponentFiles(const InstallReceipt& receipt, const Json::Value& component,
                        std::vector<std::wstring>& files);

bool isSafeInstallRoot(const std::wstring& path);
// The candidate (relative ones joined onto root) is root itself or below it.
bool isPathContainedIn(const std::wstring& candidate, const std::wstring& root);
bool hasDotDotComponent(const std::wstring& path);

}  // namespace korvel
