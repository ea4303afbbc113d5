#pragma once
// The one owner family for Windows resources: a movable owner with a close
// policy per kind. Nothing outside this header closes a Windows resource by
// hand.
#include <windows.h>

#include <bcrypt.h>
#include <objbase.h>
#include <winhttp.h>

#include <utility>

namespace korvel {

// Policy: value_type, invalid(), isValid(v), close(v).
template <typename Policy>
class UniqueResource {
public:
    using value_type = typename Policy::value_type;

    UniqueResource() noexcept : value_(Policy::invalid()) {}
    explicit UniqueResource(value_type value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    value_type get() const noexcept { return value_; }
    bool valid() const noexcept { return Policy::isValid(value_); }
    explicit operator bool() const noexcept { return valid(); }

    value_type release() noexcept {
        value_type value = value_;
        value_ = Policy::invalid();
        return value;
    }

    // Takes ownership of value; resetting to the value already held does
    // nothing. Closing keeps the caller's last error.
    void reset(value_type value = Policy::invalid()) noexcept {
        if (value == value_) return;
        value_type old = value_;
        value_ = value;
        if (Policy::isValid(old)) {
            const DWORD error = GetLastError();
            Policy::close(old);
            SetLastError(error);
        }
    }
    void close() noexcept { reset(); }

    // For out-parameters: closes what is held and hands out the slot.
    value_type* put() noexcept {
        reset();
        return &value_;
    }

private:
    value_type value_;
};

struct KernelHandlePolicy {
    using value_type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void close(HANDLE h) noexcept { CloseHandle(h); }
};

struct FindHandlePolicy {
    using value_type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void close(HANDLE h) noexcept { FindClose(h); }
};

// Ownership of an acquired mutex (not its handle): released, not closed.
struct HeldMutexPolicy {
    using value_type = HANDLE;
    static HANDLE invalid() noexcept { return nullptr; }
    static bool isValid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ReleaseMutex(h); }
};

struct LocalMemoryPolicy {
    using value_type = HLOCAL;
    static HLOCAL invalid() noexcept { return nullptr; }
    static bool isValid(HLOCAL h) noexcept { return h != nullptr; }
    static void close(HLOCAL h) noexcept { LocalFree(h); }
};

struct WinHttpHandlePolicy {
    using value_type = HINTERNET;
    static HINTERNET invalid() noexcept { return nullptr; }
    static bool isValid(HINTERNET h) noexcept { return h != nullptr; }
    static void close(HINTERNET h) noexcept { WinHttpCloseHandle(h); }
};

struct CngAlgorithmPolicy {
    using value_type = BCRYPT_ALG_HANDLE;
    static BCRYPT_ALG_HANDLE invalid() noexcept { return nullptr; }
    static bool isValid(BCRYPT_ALG_HANDLE h) noexcept { return h != nullptr; }
    static void close(BCRYPT_ALG_HANDLE h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};

struct CngHashPolicy {
    using value_type = BCRYPT_HASH_HANDLE;
    static BCRYPT_HASH_HANDLE invalid() noexcept { return nullptr; }
    static bool isValid(BCRYPT_HASH_HANDLE h) noexcept { return h != nullptr; }
    static void close(BCRYPT_HASH_HANDLE h) noexcept { BCryptDestroyHash(h); }
};

// A SID from AllocateAndInitializeSid.
struct AllocatedSidPolicy {
    using value_type = PSID;
    static PSID invalid() noexcept { return nullptr; }
    static bool isValid(PSID sid) noexcept { return sid != nullptr; }
    static void close(PSID sid) noexcept { FreeSid(sid); }
};

struct RegistryKeyPolicy {
    using value_type = HKEY;
    static HKEY invalid() noexcept { return nullptr; }
    // Predefined roots (HKEY_LOCAL_MACHINE and friends) are never closed.
    static bool isValid(HKEY key) noexcept {
        return key != nullptr && (reinterpret_cast<ULONG_PTR>(key) & 0x80000000u) == 0;
    }
    static void close(HKEY key) noexcept { RegCloseKey(key); }
};

// One successful CoInitializeEx (S_OK or S_FALSE) on this thread.
struct ComApartmentPolicy {
    using value_type = bool;
    static bool invalid() noexcept { return false; }
    static bool isValid(bool initialized) noexcept { return initialized; }
    static void close(bool) noexcept { CoUninitialize(); }
};

// Memory a shell or COM call handed out (SHGetKnownFolderPath and friends).
struct CoTaskMemoryPolicy {
    using value_type = void*;
    static void* invalid() noexcept { return nullptr; }
    static bool isValid(void* p) noexcept { return p != nullptr; }
    static void close(void* p) noexcept { CoTaskMemFree(p); }
};

template <typename Interface>
struct ComInterfacePolicy {
    using value_type = Interface*;
    static Interface* invalid() noexcept { return nullptr; }
    static bool isValid(Interface* p) noexcept { return p != nullptr; }
    static void close(Interface* p) noexcept { p->Release(); }
};

using ScopedHandle = UniqueResource<KernelHandlePolicy>;
using FindHandle = UniqueResource<FindHandlePolicy>;
using HeldMutex = UniqueResource<HeldMutexPolicy>;
using LocalMemory = UniqueResource<LocalMemoryPolicy>;
using WinHttpHandle = UniqueResource<WinHttpHandlePolicy>;
using CngAlgorithmHandle = UniqueResource<CngAlgorithmPolicy>;
using CngHashHandle = UniqueResource<CngHashPolicy>;
using SidHandle = UniqueResource<AllocatedSidPolicy>;
using RegistryKeyHandle = UniqueResource<RegistryKeyPolicy>;
using ComApartment = UniqueResource<ComApartmentPolicy>;
using CoTaskMemory = UniqueResource<CoTaskMemoryPolicy>;
template <typename Interface>
using ComPtr = UniqueResource<ComInterfacePolicy<Interface>>;

}  // namespace korvel
