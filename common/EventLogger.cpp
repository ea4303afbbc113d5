#include "common/EventLogger.h"

#include <json/writer.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "common/ErrorCodes.h"
#include "common/TextConversion.h"

namespace korvel {

const char* logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Debug: return "DEBUG";
        case LogLevel::Info: return "INFO";
        case LogLevel::Warning: return "WARNING";
        case LogLevel::Error: return "ERROR";
        case LogLevel::Fatal: return "FATAL";
    }
    return "UNKNOWN";
}

const char* eventTypeName(EventType type) {
    switch (type) {
        case EventType::Progress: return "progress";
        case EventType::Status: return "status";
        case EventType::Error: return "error";
        case EventType::Completion: return "completion";
        case EventType::Diagnostic: return "diagnostic";
    }
    return "unknown";
}

std::string formatByteSize(uint64_t bytes) {
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    double x = static_cast<double>(bytes);
    int divisions = 0;
    while (x >= 1024.0 && divisions < 4) {
        x /= 1024.0;
        ++divisions;
    }
    if (divisions == 0) return std::to_string(bytes) + " B";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f %s", x, units[divisions]);
    return buffer;
}

bool isPipeName(const std::wstring& name) {
    static const wchar_t prefix[] = L"\\\\.\\pipe\\";
    const size_t n = sizeof(prefix) / sizeof(prefix[0]) - 1;
    if (name.size() <= n) return false;
    for (size_t i = 0; i < n; ++i) {
        wchar_t c = name[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != prefix[i]) return false;
    }
    // Windows folds "." and ".." components (and forward slashes) out of a
    // \\.\ name before it opens it, so \\.\pipe\..\C:\file would reach a
    // file. Every component after the prefix must be a plain name.
    size_t start = n;
    for (;;) {
        const size_t end = name.find(L'\\', start);
        const size_t stop = end == std::wstring::npos ? name.size() : end;
        if (stop == start) return false;
        bool onlyDotsAndSpaces = true;
        for (size_t i = start; i < stop; ++i) {
            const wchar_t c = name[i];
            if (c == L'/' || c == L'\0') return false;
            if (c != L'.' && c != L' ') onlyDotsAndSpaces = false;
        }
        if (onlyDotsAndSpaces) return false;
        if (end == std::wstring::npos) return true;
        start = end + 1;
    }
}

EventLogger& EventLogger::instance() {
    static EventLogger logger;
    return logger;
}

EventLogger::~EventLogger() = default;

std::string EventLogger::currentTimestamp() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t sinceFileTimeEpoch = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    // 100-ns ticks between 1601-01-01 and 1970-01-01.
    const uint64_t ticks = sinceFileTimeEpoch - 116444736000000000ULL;
    const uint64_t seconds = ticks / 10000000ULL;
    const uint64_t millis = ticks / 10000ULL - seconds * 1000ULL;
    std::tm fields{};
    const std::time_t t = static_cast<std::time_t>(seconds);
    if (gmtime_s(&fields, &t) != 0) fields = std::tm{};
    char date[32];
    if (std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &fields) == 0) date[0] = '\0';
    char result[48];
    std::snprintf(result, sizeof result, "%s.%03uZ", date, static_cast<unsigned>(millis));
    return result;
}

Json::Value EventLogger::makeEnvelope(EventType type) const {
    Json::Value event(Json::objectValue);
    event["timestamp"] = currentTimestamp();
    event["event_type"] = eventTypeName(type);
    event["process"] = "KorvelElevated";
    event["pid"] = Json::UInt(GetCurrentProcessId());
    return event;
}

void EventLogger::progress(const std::string& operation, int percent, const std::string& details) {
    Json::Value event = makeEnvelope(EventType::Progress);
    event["operation"] = operation;
    event["progress"] = std::clamp(percent, 0, 100);
    if (!details.empty()) event["details"] = details;
    writeEvent(event);
}

void EventLogger::status(const std::string& operation, const std::string& statusText, const std::string& details) {
    Json::Value event = makeEnvelope(EventType::Status);
    event["operation"] = operation;
    event["status"] = statusText;
    if (!details.empty()) event["details"] = details;
    writeEvent(event);
}

void EventLogger::error(int code, const std::string& operation, const std::string& details) {
    Json::Value event = makeEnvelope(EventType::Error);
    event["operation"] = operation;
    event["error_code"] = code;
    event["error_message"] = errorMessage(code);
    if (!details.empty()) event["details"] = details;
    writeEvent(event);
}

void EventLogger::completion(const std::string& operation, bool success, const std::string& details) {
    Json::Value event = makeEnvelope(EventType::Completion);
    event["operation"] = operation;
    event["success"] = success;
    if (!details.empty()) event["details"] = details;
    writeEvent(event);
}

void EventLogger::log(LogLevel level, const std::string& message, const std::string& component) {
    if (level == LogLevel::Debug && !verbose) return;
    Json::Value event = makeEnvelope(EventType::Diagnostic);
    event["level"] = logLevelName(level);
    event["message"] = message;
    if (!component.empty()) event["component"] = component;
    writeEvent(event);
}

void EventLogger::downloadProgress(const std::string& name, uint64_t downloaded, uint64_t total) {
    const uint64_t percent = total == 0 ? 0 : downloaded * 100 / total;
    std::string details = "Downloaded " + formatByteSize(downloaded);
    if (total != 0) details += " of " + formatByteSize(total);
    progress("download:" + name, static_cast<int>(std::min<uint64_t>(percent, 1000)), details);
}

void EventLogger::fileOperation(const std::string& op, const std::filesystem::path& path, bool success,
                                uint32_t win32Error, bool reportAsError) noexcept {
    try {
        Json::Value event = makeEnvelope(!success && reportAsError ? EventType::Error : EventType::Status);
        event["operation"] = "file:" + op;
        event["file_path"] = pathToUtf8(path);
        event["success"] = success;
        if (!success && win32Error != 0) {
            event["system_error_code"] = Json::UInt(win32Error);
            event["error_message"] = wideToUtf8(formatWin32Error(win32Error));
        }
        writeEvent(event);
    } catch (...) {
        // A file event that cannot be built or written is dropped.
    }
}

void EventLogger::prereqInstall(const std::string& component, const std::string& statusText,
                                const std::string& version) {
    Json::Value event = makeEnvelope(EventType::Status);
    event["operation"] = "prereq_install";
    event["component"] = component;
    event["status"] = statusText;
    if (!version.empty()) event["version"] = version;
    writeEvent(event);
}

void EventLogger::manifestProcessing(const std::string& manifestUrl, const std::string& statusText,
                                     int filesProcessed) {
    Json::Value event = makeEnvelope(EventType::Status);
    event["operation"] = "manifest_processing";
    event["manifest_url"] = manifestUrl;
    event["status"] = statusText;
    if (filesProcessed >= 0) event["files_processed"] = filesProcessed;
    writeEvent(event);
}

void EventLogger::registryOperation(const std::string& op, const std::string& keyPath, bool success) {
    Json::Value event = makeEnvelope(success ? EventType::Status : EventType::Error);
    event["operation"] = "registry:" + op;
    event["key_path"] = keyPath;
    event["success"] = success;
    writeEvent(event);
}

void EventLogger::shortcutCreate(const std::string& shortcutName, const std::string& targetPath, bool success) {
    Json::Value event = makeEnvelope(success ? EventType::Status : EventType::Error);
    event["operation"] = "shortcut_create";
    event["shortcut_name"] = shortcutName;
    event["target_path"] = targetPath;
    event["success"] = success;
    writeEvent(event);
}

bool EventLogger::connectPipeOnce(const std::wstring& name) {
    if (!isPipeName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // The server is whoever the unelevated caller named: it may learn who
    // writes, never act as this process.
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_WRITE_THROUGH | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    pipeHandle.reset(h);
    // Connected again: the next loss gets its full reconnection wait.
    reconnectFailed_ = false;
    return true;
}

bool EventLogger::connectPipe(const std::wstring& name, uint32_t timeoutMs) {
    // A name that is not a pipe is never opened: the elevated process must
    // not be made to write into a file of the caller's choosing.
    if (!isPipeName(name)) {
        pipeHandle.reset();
        return false;
    }
    const DWORD start = GetTickCount();
    do {
        if (connectPipeOnce(name)) return true;
        const DWORD err = GetLastError();
        if (err == ERROR_PIPE_BUSY) {
            if (!WaitNamedPipeW(name.c_str(), 2000) && GetLastError() != ERROR_SEM_TIMEOUT) break;
        } else if (err == ERROR_FILE_NOT_FOUND) {
            Sleep(200);
        } else {
            break;
        }
    } while (static_cast<DWORD>(GetTickCount() - start) <= timeoutMs);
    pipeHandle.reset();
    return false;
}

bool EventLogger::reconnect() {
    if (pipeName.empty()) return false;
    bool ok;
    if (reconnectFailed_) {
        ok = connectPipeOnce(pipeName);
        if (!ok) pipeHandle.reset();
    } else {
        ok = connectPipe(pipeName, reconnectTimeoutMs);
    }
    reconnectFailed_ = !ok;
    return ok;
}

bool EventLogger::writeToPipe(const std::string& line) {
    DWORD written = 0;
    if (!WriteFile(pipeHandle.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) return false;
    // The flush returns once the server has read the line; when it fails the
    // server went away with the line unread, so the line counts as not sent.
    if (flushEachLine && !FlushFileBuffers(pipeHandle.get())) return false;
    return true;
}

void EventLogger::writeToStdout(const std::string& line) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    // One WriteFile hands the whole line to the file or pipe, where every
    // reader sees it at once; a flush here would only force it to the disk
    // when standard output is a file, once per line.
    DWORD written = 0;
    WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void EventLogger::writeEvent(const Json::Value& event) {
    std::lock_guard<std::mutex> lock(mutex);
    // One writer for the process, made once and used under the lock: a run
    // writes an event or more for every file, and making the writer anew
    // costs more than the line. It is never destroyed, so that events of
    // other objects' destructors at exit still find it.
    static Json::StreamWriter* const writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        return builder.newStreamWriter();
    }();
    std::ostringstream text;
    writer->write(event, &text);
    std::string line = text.str();
    if (line.empty() || line.back() != '\n') line += '\n';

    if (pipeHandle.valid() || reconnect()) {
        if (writeToPipe(line)) return;
        pipeHandle.reset();
        // The line that failed goes to the pipe if it comes straight back.
        if (reconnect()) {
            if (writeToPipe(line)) return;
            pipeHandle.reset();
            reconnectFailed_ = true;
        }
    }
    writeToStdout(line);
}

void EventLogger::writeFatalLineDirect(const char* message) noexcept {
    static std::atomic_flag written = ATOMIC_FLAG_INIT;
    if (written.test_and_set()) return;
    char timestamp[48] = "";
    try {
        const std::string now = currentTimestamp();
        std::snprintf(timestamp, sizeof timestamp, "%s", now.c_str());
    } catch (...) {
    }
    // Members in the order the JSON writer gives them; message is plain
    // ASCII text of this program's own.
    char line[512];
    const int length = std::snprintf(line, sizeof line,
                                     "{\"event_type\":\"diagnostic\",\"level\":\"FATAL\",\"message\":\"%s\","
                                     "\"pid\":%lu,\"process\":\"KorvelElevated\",\"timestamp\":\"%s\"}\n",
                                     message, static_cast<unsigned long>(GetCurrentProcessId()), timestamp);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof line) return;
    DWORD done = 0;
    const HANDLE pipe = pipeHandle.get();
    if (pipeHandle.valid() && WriteFile(pipe, line, static_cast<DWORD>(length), &done, nullptr) &&
        done == static_cast<DWORD>(length)) {
        FlushFileBuffers(pipe);
        return;
    }
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        WriteFile(out, line, static_cast<DWORD>(length), &done, nullptr);
        FlushFileBuffers(out);
    }
}

}  // namespace korvel
