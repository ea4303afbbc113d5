#pragma once
// The uninstaller's existence test: a path that is missing in any of the
// ways Windows reports it is a plain no; any other failure to learn the
// answer throws filesystem_error("exists").
#include <filesystem>

namespace korvel {

bool pathExistsForDetection(const std::filesystem::path& path);

}  // namespace korvel
