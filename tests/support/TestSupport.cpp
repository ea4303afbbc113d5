#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvel::test {
namespace {

std::wstring currentTestName() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "test";
    for (char& c : name) {
        if (c == '/' || c == '\\' || c == ':' || c == '<' || c == '>' || c == '*' || c == '?' || c == '|' ||
            c == '"')
            c = '_';
    }
    return std::wstring(name.begin(), name.end());
}

}  // namespace

ScratchDir::ScratchDir() {
    std::filesystem::path base = L"T:\\unit";
    std::filesystem::create_directories(base);
    path_ = base / (currentTestName() + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                    std::to_wstring(GetTickCount64()));
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    // Clear read-only flags left by tests so the folder can go.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::filesystem::remove_all(path_, ec);
}

StdoutCapture::StdoutCapture() {
    wchar_t tempDir[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, tempDir);
    wchar_t name[MAX_PATH + 1];
    GetTempFileNameW(tempDir, L"cap", 0, name);
    fileName_ = name;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    file_.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!file_.valid()) throw std::runtime_error("cannot create capture file");
    previous_ = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file_.get());
}

StdoutCapture::~StdoutCapture() {
    SetStdHandle(STD_OUTPUT_HANDLE, previous_);
    file_.reset();
    DeleteFileW(fileName_.c_str());
}

std::string StdoutCapture::text() const {
    const ScopedHandle h(CreateFileW(fileName_.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     0, nullptr));
    if (!h.valid()) return std::string();
    std::string result;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) result.append(buffer, got);
    return result;
}

std::vector<Json::Value> StdoutCapture::events() const { return parseEventLines(text()); }

std::vector<Json::Value> parseEventLines(const std::string& text) {
    std::vector<Json::Value> result;
    std::istringstream in(text);
    std::string line;
    Json::CharReaderBuilder builder;
    while (std::getline(in, line)) {
        Json::Value v;
        std::string errs;
        std::istringstream ls(line);
        if (Json::parseFromStream(builder, ls, &v, &errs)) result.push_back(v);
    }
    return result;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path.string());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace korvel::test
