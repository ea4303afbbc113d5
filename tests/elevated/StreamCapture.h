#pragma once
// Redirects one standard handle (output or error) into a temporary file
// while alive, for tests of code that writes console text with WriteFile.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "common/UniqueResource.h"

namespace korvel::test {

class StreamCapture {
public:
    explicit StreamCapture(DWORD which) : which_(which) {
        wchar_t dir[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, dir);
        wchar_t name[MAX_PATH + 1];
        GetTempFileNameW(dir, L"cap", 0, name);
        fileName_ = name;
        file_.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
        if (!file_.valid()) throw std::runtime_error("cannot create capture file");
        previous_ = GetStdHandle(which_);
        SetStdHandle(which_, file_.get());
    }
    ~StreamCapture() {
        SetStdHandle(which_, previous_);
        file_.reset();
        DeleteFileW(fileName_.c_str());
    }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string text() const {
        const ScopedHandle h(CreateFileW(fileName_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
        if (!h.valid()) return std::string();
        std::string result;
        char buffer[65536];
        DWORD got = 0;
        while (ReadFile(h.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) result.append(buffer, got);
        return result;
    }

private:
    DWORD which_;
    HANDLE previous_ = nullptr;
    ScopedHandle file_;
    std::wstring fileName_;
};

}  // namespace korvel::test
