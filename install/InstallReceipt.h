#pragma once
// The install receipt: what an installation put on the machine, written as
// InstallReceipt.json in the installation folder and read by the uninstaller.
#include <string>
#include <vector>

#include "common/ErrorCodes.h"

namespace korvel {

struct ReceiptComponent {
    std::wstring version;  // present only when not empty
    std::vector<std::wstring> files;
};

struct ShortcutEntry {
    std::wstring name;
    std::wstring type;   // "START_MENU", "DESKTOP"
    std::wstring scope;  // "ALL_USERS"
};

struct InstallReceipt {
    std::wstring version;
    std::wstring installDate;
    std::wstring installPath;
    std::wstring launcherPath;
    ReceiptComponent launcher;
    ReceiptComponent client;
    ReceiptComponent helper;
    std::vector<ShortcutEntry> shortcuts;
    std::wstring uninstallKey;
    std::vector<std::wstring> services;
    std::vector<std::wstring> scheduledTasks;
    std::vector<std::wstring> firewallRules;
};

// The receipt's file name inside the installation folder.
extern const wchar_t kInstallReceiptFileName[];

InstallReceipt createInstallReceipt(const std::wstring& installPath, const std::wstring& version);
// "launcher", "client" or "helper"; any other name is refused with a WARNING.
void setComponent(InstallReceipt& receipt, const std::wstring& name, const std::wstring& version,
                  const std::vector<std::wstring>& files);
// Throws when a text is not valid UTF-16.
std::string receiptToJson(const InstallReceipt& receipt);
// The text goes to a new file beside path that then replaces path in one
// step: a failure leaves any earlier receipt as it was and no new file
// behind. 0, 149 (cannot open or write) or 4.
ErrorCode writeInstallReceipt(const InstallReceipt& receipt, const std::wstring& path);
// Now in UTC as YYYY-MM-DDTHH:MM:SSZ; empty when the time cannot be broken down.
std::wstring formatUtcTimestamp();

}  // namespace korvel
