#pragma once
// The product's folders below the temporary folder, named in one place.
#include <filesystem>

namespace korvel {

// Folder names below the temporary folder.
extern const wchar_t kPrereqFolderName[];  // "KorvelPrereqs"
extern const wchar_t kCacheFolderName[];   // "KorvelCache"

// The prerequisite download folder, %TEMP%\KorvelPrereqs. Throws
// std::filesystem::filesystem_error when the temporary folder cannot be
// found, as std::filesystem::temp_directory_path does.
std::filesystem::path prereqDownloadFolder();
// The download cache folder, %TEMP%\KorvelCache; throws as above.
std::filesystem::path downloadCacheFolder();

}  // namespace korvel
