#pragma once
// The one check that every removal of a folder named by a caller makes before
// it touches anything: a folder whose loss would wreck Windows or a user's
// data (a volume root, the Windows folder, Program Files, ProgramData, the
// user profiles and the user's own shell folders, the temporary folder) is
// never removed as a whole, and neither is a folder that holds one of them.
// Folders are compared by their final paths, letter case ignored, so a link,
// an 8.3 name or another spelling does not get past the check.
#include <string>
#include <vector>

namespace korvel {

// A drive letter with a root ("C:\x", "C:/x") or a UNC path ("\\server\share"),
// also in the "\\?\C:\" and "\\?\UNC\server\share" forms. Relative paths,
// drive-relative ("C:x") and rooted ("\x") paths, device paths ("\\.\"),
// other "\\?\" forms, empty text and text holding a NUL are not.
bool isFullyQualifiedPath(const std::wstring& path) noexcept;

// Why the folder must not be removed as a whole, or empty when it may be.
// A path that is not fully qualified, or that cannot be checked, is refused.
std::wstring dangerousRootReason(const std::wstring& path) noexcept;

// Why an update must not be written into the folder, or empty when it may:
// the Windows folder and everything below it, and every folder the check
// above refuses. A folder that does not exist yet is judged by where its
// longest existing part really leads.
std::wstring applyTargetRefusal(const std::wstring& path) noexcept;

inline bool isDangerousRoot(const std::wstring& path) noexcept { return !dangerousRootReason(path).empty(); }

// The protected folders of this machine and user, as the system names them
// (not yet resolved); folders that cannot be queried are left out.
std::vector<std::wstring> protectedFolders();

}  // namespace korvel
