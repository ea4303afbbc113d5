#pragma once
// Helpers for the Windows-side tests: a scratch folder per test below the
// sandbox's T: drive, and capture of what the code writes to standard output.
#include <windows.h>

#include <json/value.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/UniqueResource.h"

namespace korvel::test {

// A fresh, empty folder below T:\ named after the running test; removed
// when the object goes out of scope.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::wstring& rel) const { return path_ / rel; }

private:
    std::filesystem::path path_;
};

// Redirects the process's standard output handle into a file while alive;
// text() gives everything written so far.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string text() const;
    // Each line parsed as JSON; lines that do not parse are skipped.
    std::vector<Json::Value> events() const;

private:
    HANDLE previous_;
    ScopedHandle file_;
    std::wstring fileName_;
};

// Each line of text parsed as JSON; lines that do not parse are skipped.
std::vector<Json::Value> parseEventLines(const std::string& text);

void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

}  // namespace korvel::test
