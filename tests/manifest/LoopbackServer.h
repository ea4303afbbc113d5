#pragma once
// A small HTTP server on the loopback address, run by an in-process test:
// answers GET requests from a table of paths (404 for the rest) and records
// every path asked for.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/TextConversion.h"

namespace korvel::test {

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
    using SetOptionFn = int(WSAAPI*)(SOCKET, int, int, const char*, int);

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
        setsockopt = reinterpret_cast<SetOptionFn>(get("setsockopt"));
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
    SetOptionFn setsockopt;
};

inline Winsock& winsock() {
    static Winsock ws;
    return ws;
}

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
            // A client that stops reading (a download cut off at its size
            // cap) or keeps its connection open must never hold this
            // thread, and with it the test's end, for ever.
            const DWORD limitMs = 10000;
            ws.setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limitMs), sizeof limitMs);
            ws.setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limitMs), sizeof limitMs);
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

}  // namespace korvel::test
