#include "common/ProductFolders.h"

namespace korvel {

const wchar_t kPrereqFolderName[] = L"KorvelPrereqs";
const wchar_t kCacheFolderName[] = L"KorvelCache";

std::filesystem::path prereqDownloadFolder() { return std::filesystem::temp_directory_path() / kPrereqFolderName; }

std::filesystem::path downloadCacheFolder() { return std::filesystem::temp_directory_path() / kCacheFolderName; }

}  // namespace korvel
