#pragma once
// The one channel through which the programs report what they do: every
// event is one compact JSON object on one line, written to the caller's
// progress pipe when one is connected, otherwise to standard output.
#include "common/UniqueResource.h"

#include <windows.h>

#include <json/value.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

namespace korvel {

enum class LogLevel : int { Debug = 0, Info = 1, Warning = 2, Error = 3, Fatal = 4 };
enum class EventType : int { Progress = 0, Status = 1, Error = 2, Completion = 3, Diagnostic = 4 };

const char* logLevelName(LogLevel level);
const char* eventTypeName(EventType type);

// "512 B", "1.0 KB", "1.5 MB" ... in steps of 1024, at most TB.
std::string formatByteSize(uint64_t bytes);

class EventLogger {
public:
    static EventLogger& instance();

    EventLogger(const EventLogger&) = delete;
    EventLogger& operator=(const EventLogger&) = delete;

    void progress(const std::string& operation, int percent, const std::string& details = std::string());
    void status(const std::string& operation, const std::string& status, const std::string& details = std::string());
    void error(int code, const std::string& operation, const std::string& details = std::string());
    void completion(const std::string& operation, bool success, const std::string& details = std::string());
    void log(LogLevel level, const std::string& message, const std::string& component = std::string());
    void downloadProgress(const std::string& name, uint64_t downloaded, uint64_t total);
    void fileOperation(const std::string& op, const std::filesystem::path& path, bool success, uint32_t win32Error,
                       bool reportAsError) noexcept;
    void prereqInstall(const std::string& component, const std::string& status,
                       const std::string& version = std::string());
    void manifestProcessing(const std::string& manifestUrl, const std::string& status, int filesProcessed = -1);
    void registryOperation(const std::string& op, const std::string& keyPath, bool success);
    void shortcutCreate(const std::string& shortcutName, const std::string& targetPath, bool success);

    // Opens the pipe as a client and stores the handle. The caller holds
    // `mutex`. Only names of the form \\.\pipe\... are ever opened.
    bool connectPipe(const std::wstring& name, uint32_t timeoutMs);

    void writeEvent(const Json::Value& event);
    // For a process that is ending abnormally: one FATAL diagnostic line
    // with message, built without the JSON writer and written without the
    // mutex (which the failing code may hold) straight to the connected pipe,
    // or to standard output when none is. Only the first call writes.
    void writeFatalLineDirect(const char* message) noexcept;
    Json::Value makeEnvelope(EventType type) const;
    static std::string currentTimestamp();

    // Set directly by the program's entry point.
    bool verbose = false;
    bool flushEachLine = true;
    std::mutex mutex;
    ScopedHandle pipeHandle;
    std::wstring pipeName;
    uint32_t reconnectTimeoutMs = 15000;

private:
    EventLogger() = default;
    ~EventLogger();

    bool connectPipeOnce(const std::wstring& name);
    bool reconnect();
    bool writeToPipe(const std::string& line);
    void writeToStdout(const std::string& line);

    // Set once a reconnection has run out of time: later lines try once
    // without waiting instead of waiting the whole time-out again.
    bool reconnectFailed_ = false;
};

// The log lines of one component: a file declares
// `const ComponentLog logLine(kComponent);` once and writes
// logLine(level, message), each line carrying that component.
class ComponentLog {
public:
    constexpr explicit ComponentLog(const char* component) noexcept : component_(component) {}
    void operator()(LogLevel level, const std::string& message) const {
        EventLogger::instance().log(level, message, component_);
    }

private:
    const char* component_;
};

// True when the name has the form \\.\pipe\<name>, the prefix in any letter
// case, and every component after it a plain name (not empty, not made of
// dots and spaces only, no forward slash), so that it cannot lead out of the
// pipe namespace.
bool isPipeName(const std::wstring& name);

}  // namespace korvel
