// The whole apply flow in one process, against a small HTTP server on the
// loopback address run by the test itself: the cases that need a file held
// open by the test (a backup that cannot be taken, an exception in the file
// passes), which the end-to-end tests cannot arrange from the host.
#include <gtest/gtest.h>
#include <json/writer.h>
#include <winsock2.h>

#include <stdlib.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "tests/manifest/ManifestHandlerTestSupport.h"

namespace korvel::test {
namespace {

// Winsock is loaded at run time so that the test needs no extra link
// library.
struct Winsock {
    using StartupFn = int(WSAAPI*)(WORD, LPWSADATA);
    using SocketFn = SOCKET(WSAAPI*)(int, int, int);
    using BindFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);
    using ListenFn = int(WSAAPI*)(SOCKET, int);
    using NameFn = int(WSAAPI*)(SOCKET, sockaddr*, int*);
    using AcceptFn = SOCKET(WSAAPI*)(SOCKET, sockaddr*, int*);
    using RecvFn = int(WSAAPI*)(SOCKET, char*, int, int);
    using SendFn = int(WSAAPI*)(SOCKET, const char*, int, int);
    using CloseFn = int(WSAAPI*)(SOCKET);
    using ShutdownFn = int(WSAAPI*)(SOCKET, int);

    Winsock() {
        module = LoadLibraryW(L"ws2_32.dll");
        auto get = [this](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); };
        startup = reinterpret_cast<StartupFn>(get("WSAStartup"));
        socket = reinterpret_cast<SocketFn>(get("socket"));
        bind = reinterpret_cast<BindFn>(get("bind"));
        listen = reinterpret_cast<ListenFn>(get("listen"));
        getsockname = reinterpret_cast<NameFn>(get("getsockname"));
        accept = reinterpret_cast<AcceptFn>(get("accept"));
        recv = reinterpret_cast<RecvFn>(get("recv"));
        send = reinterpret_cast<SendFn>(get("send"));
        closesocket = reinterpret_cast<CloseFn>(get("closesocket"));
        shutdown = reinterpret_cast<ShutdownFn>(get("shutdown"));
        WSADATA data;
        startup(MAKEWORD(2, 2), &data);
    }

    HMODULE module;
    StartupFn startup;
    SocketFn socket;
    BindFn bind;
    ListenFn listen;
    NameFn getsockname;
    AcceptFn accept;
    RecvFn recv;
    SendFn send;
    CloseFn closesocket;
    ShutdownFn shutdown;
};

Winsock& winsock() {
    static Winsock ws;
    return ws;
}

// Answers GET requests from a table of paths; 404 for the rest. Records
// every path asked for.
class LoopbackServer {
public:
    LoopbackServer() {
        Winsock& ws = winsock();
        listener_ = ws.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = _byteswap_ulong(INADDR_LOOPBACK);
        address.sin_port = 0;
        ws.bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ws.listen(listener_, 16);
        int length = sizeof address;
        ws.getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = _byteswap_ushort(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~LoopbackServer() {
        stopping_ = true;
        winsock().closesocket(listener_);
        thread_.join();
    }

    void set(const std::string& path, const std::string& body) {
        std::lock_guard<std::mutex> lock(mutex_);
        bodies_[path] = body;
    }

    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    std::wstring url(const std::string& path) const {
        return L"http://127.0.0.1:" + std::to_wstring(port_) + utf8ToUtf16(path);
    }

private:
    void serve() {
        Winsock& ws = winsock();
        while (!stopping_) {
            SOCKET client = ws.accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const int got = ws.recv(client, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                request.append(buffer, got);
            }
            const size_t start = request.find(' ') + 1;
            const std::string path = request.substr(start, request.find(' ', start) - start);
            std::string body;
            bool found = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(path);
                auto it = bodies_.find(path);
                if (it != bodies_.end()) {
                    body = it->second;
                    found = true;
                }
            }
            const std::string head = std::string(found ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
                                     "\r\nContent-Length: " + std::to_string(body.size()) +
                                     "\r\nConnection: close\r\n\r\n";
            const std::string reply = head + body;
            size_t sent = 0;
            while (sent < reply.size()) {
                const int n = ws.send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), 0);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            ws.shutdown(client, SD_SEND);
            while (ws.recv(client, buffer, sizeof buffer, 0) > 0) {
            }
            ws.closesocket(client);
        }
    }

    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::string> bodies_;
    std::vector<std::string> requests_;
};

class ApplyTest : public HandlerTest {
protected:
    // Serves the files and a legacy manifest listing them; returns the
    // manifest's URL.
    std::wstring publish(const std::vector<std::pair<std::string, std::string>>& files,
                         const std::map<std::string, std::string>& servedInstead = {}) {
        Json::Value doc(Json::objectValue);
        doc["version"] = "1.0.0";
        doc["gameVersion"] = "1.0.0";
        doc["component"] = "client";
        doc["signature"] = "c2ln";
        Json::Value list(Json::arrayValue);
        for (const auto& [rel, content] : files) {
            const ManifestFile e = makeEntry(rel, content);
            Json::Value item(Json::objectValue);
            item["path"] = rel;
            item["sha256"] = e.sha256;
            item["size"] = Json::UInt64(e.size);
            list.append(item);
            auto other = servedInstead.find(rel);
            server.set("/cdn/files/" + e.sha256.substr(0, 8) + "/" + rel,
                       other != servedInstead.end() ? other->second : content);
        }
        doc["files"] = list;
        Json::StreamWriterBuilder builder;
        server.set("/manifest.json", Json::writeString(builder, doc));
        return server.url("/manifest.json");
    }

    void writeTarget(const std::string& rel, const std::string& content) const {
        const fs::path p = targetDir / utf8ToPath(rel);
        fs::create_directories(p.parent_path());
        writeFile(p, content);
    }

    static std::vector<std::string> processingStatuses(const std::vector<Json::Value>& events) {
        std::vector<std::string> out;
        for (const auto& e : events) {
            if (e.get("operation", "").asString() == "manifest_processing") out.push_back(e["status"].asString());
        }
        return out;
    }

    size_t fileRequests() {
        size_t n = 0;
        for (const auto& r : server.requests()) n += r.rfind("/cdn/files/", 0) == 0 ? 1 : 0;
        return n;
    }

    LoopbackServer server;
};

TEST_F(ApplyTest, AppliesAndLeavesNoBackup) {
    const std::wstring url = publish({{"a.txt", "alpha"}, {"sub/b.txt", "bravo"}});
    ManifestHandler handler(server.url("/cdn"));
    StdoutCapture capture;
    ASSERT_EQ(handler.applyManifest(url, targetDir.wstring()), ErrorCode::Success);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "alpha");
    EXPECT_EQ(readFile(targetDir / L"sub" / L"b.txt"), "bravo");
    EXPECT_EQ(processingStatuses(capture.events()), (std::vector<std::string>{"starting", "completed"}));
    EXPECT_TRUE(fs::is_empty(cacheDir / L"backups"));
}

// No update goes on without its backup: a target file that cannot be
// copied stops the run before anything is fetched or replaced.
TEST_F(ApplyTest, BackupThatFailsStopsTheRunWith125) {
    writeTarget("a.txt", "old alpha");
    writeTarget("b.txt", "old bravo");
    const std::wstring url = publish({{"a.txt", "new alpha"}, {"b.txt", "new bravo"}});
    HANDLE held = CreateFileW((targetDir / L"b.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    ErrorCode result;
    std::vector<Json::Value> events;
    {
        ManifestHandler handler(server.url("/cdn"));
        StdoutCapture capture;
        result = handler.applyManifest(url, targetDir.wstring());
        events = capture.events();
    }
    CloseHandle(held);

    EXPECT_EQ(result, ErrorCode::ManifestApplyFailed);
    EXPECT_EQ(processingStatuses(events), (std::vector<std::string>{"starting", "processing_failed"}));
    EXPECT_EQ(fileRequests(), 0u);
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha");
    EXPECT_EQ(readFile(targetDir / L"b.txt"), "old bravo");
    EXPECT_FALSE(hasMessage(events, "Failed to create backup, continuing without backup"));
    EXPECT_TRUE(fs::is_empty(cacheDir / L"backups"));  // the useless partial copy is gone
}

// An exception in the file passes still rolls back and reports the failed
// run before it reaches the command.
TEST_F(ApplyTest, ExceptionInTheFilePassesRollsBackThenPropagates) {
    writeTarget("a.txt", "old alpha");
    const std::wstring url = publish({{"a.txt", "new alpha"}, {"b.txt", "new bravo"}}, {{"b.txt", "bad bravo"}});
    // The download of b.txt fails its hash check, and its temporary file
    // cannot be deleted while this handle lacks delete sharing.
    const fs::path temporary = cacheDir / L"b.txt.tmp";
    fs::create_directories(cacheDir);
    HANDLE held = CreateFileW(temporary.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    bool threw = false;
    std::vector<Json::Value> events;
    {
        ManifestHandler handler(server.url("/cdn"));
        StdoutCapture capture;
        try {
            handler.applyManifest(url, targetDir.wstring());
        } catch (const std::filesystem::filesystem_error&) {
            threw = true;
        }
        events = capture.events();
    }
    CloseHandle(held);

    EXPECT_TRUE(threw);
    EXPECT_EQ(processingStatuses(events), (std::vector<std::string>{"starting", "processing_failed"}));
    EXPECT_TRUE(hasMessage(events, "Attempting rollback...", "INFO"));
    EXPECT_TRUE(hasMessage(events, "Backup restored successfully", "INFO"));
    EXPECT_EQ(readFile(targetDir / L"a.txt"), "old alpha");
}

TEST_F(ApplyTest, UnreachableManifestReportsDownloadFailedAndTakesNoBackup) {
    ManifestHandler handler(server.url("/cdn"));
    StdoutCapture capture;
    EXPECT_EQ(handler.applyManifest(server.url("/missing.json"), targetDir.wstring()), ErrorCode::HttpError);
    EXPECT_EQ(processingStatuses(capture.events()), (std::vector<std::string>{"starting", "download_failed"}));
    EXPECT_FALSE(fs::exists(cacheDir / L"backups"));
    EXPECT_FALSE(fs::exists(targetDir));
}

TEST_F(ApplyTest, ManifestThatFailsToParseKeepsItsTemporaryFileUntilTheHandlerGoes) {
    server.set("/broken.json", "{ not json");
    {
        ManifestHandler handler(server.url("/cdn"));
        StdoutCapture capture;
        EXPECT_EQ(handler.applyManifest(server.url("/broken.json"), targetDir.wstring()),
                  ErrorCode::ManifestParseFailed);
        EXPECT_EQ(processingStatuses(capture.events()), (std::vector<std::string>{"starting", "download_failed"}));
        EXPECT_TRUE(fs::exists(cacheDir / L"manifest.json.tmp"));
    }
    EXPECT_FALSE(fs::exists(cacheDir / L"manifest.json.tmp"));
}

}  // namespace
}  // namespace korvel::test
