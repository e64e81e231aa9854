#pragma once
// One RAII owner per kind of operating-system handle. Create into a local owner and move it into
// its final place only when every call that builds the object has succeeded.
#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstddef>
#include <memory>
#include <utility>

namespace nyra::win {

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    [[nodiscard]] Type get() const noexcept { return value_; }
    [[nodiscard]] bool valid() const noexcept { return Traits::valid(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // For out-parameters of creation functions: releases the current value first.
    [[nodiscard]] Type* put() noexcept {
        reset();
        return &value_;
    }
    [[nodiscard]] Type release() noexcept { return std::exchange(value_, Traits::empty()); }
    void reset(Type value = Traits::empty()) noexcept {
        const Type old = std::exchange(value_, value);
        if (Traits::valid(old)) Traits::close(old);
    }

private:
    Type value_ = Traits::empty();
};

// Kernel objects: events, mutexes, processes, threads, pipes, files, snapshots. Both null and
// INVALID_HANDLE_VALUE mean "none", since creation functions disagree on which one they return.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// Folder listings opened with FindFirstFileW / FindFirstFileExW.
struct FindHandleTraits {
    using Type = HANDLE;
    static Type empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept { ::FindClose(h); }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

struct RegistryKeyTraits {
    using Type = HKEY;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::RegCloseKey(h); }
};
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;

// Memory handed out by the system with LocalAlloc (security descriptors, formatted messages).
struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::LocalFree(h); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

struct GlobalMemoryTraits {
    using Type = HGLOBAL;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::GlobalFree(h); }
};
using UniqueGlobalMemory = UniqueResource<GlobalMemoryTraits>;

// GDI objects: bitmaps, fonts, brushes.
struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::DeleteObject(h); }
};
using UniqueGdiObject = UniqueResource<GdiObjectTraits>;

// Memory device contexts made with CreateCompatibleDC.
struct MemoryDcTraits {
    using Type = HDC;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::DeleteDC(h); }
};
using UniqueMemoryDc = UniqueResource<MemoryDcTraits>;

// A window's or the screen's device context obtained with GetDC; released for the same window.
class ScreenDc {
public:
    explicit ScreenDc(HWND window = nullptr) noexcept : window_(window), dc_(::GetDC(window)) {}
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    ~ScreenDc() {
        if (dc_ != nullptr) ::ReleaseDC(window_, dc_);
    }
    [[nodiscard]] HDC get() const noexcept { return dc_; }
    explicit operator bool() const noexcept { return dc_ != nullptr; }

private:
    HWND window_;
    HDC dc_;
};

struct WindowTraits {
    using Type = HWND;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::DestroyWindow(h); }
};
using UniqueWindow = UniqueResource<WindowTraits>;

struct CertStoreTraits {
    using Type = HCERTSTORE;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::CertCloseStore(h, 0); }
};
using UniqueCertStore = UniqueResource<CertStoreTraits>;

struct CertContextTraits {
    using Type = PCCERT_CONTEXT;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::CertFreeCertificateContext(h); }
};
using UniqueCertContext = UniqueResource<CertContextTraits>;

// WinHTTP sessions, connections and requests.
struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::WinHttpCloseHandle(h); }
};
using UniqueInternetHandle = UniqueResource<InternetHandleTraits>;

// A named mutex this thread owns: released, then closed. Released on the thread that claimed it.
struct OwnedMutexTraits {
    using Type = HANDLE;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept {
        ::ReleaseMutex(h);
        ::CloseHandle(h);
    }
};
using UniqueOwnedMutex = UniqueResource<OwnedMutexTraits>;

// The attribute list of an extended start-up record: initialised into owned storage, deleted
// before the storage goes.
class ProcThreadAttributeList {
public:
    // Empty (false) when the list cannot be made.
    explicit ProcThreadAttributeList(DWORD attributeCount) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, attributeCount, 0, &size);
        if (size == 0) return;
        storage_ = std::make_unique<std::byte[]>(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
        if (::InitializeProcThreadAttributeList(list, attributeCount, 0, &size)) list_ = list;
    }
    ProcThreadAttributeList(const ProcThreadAttributeList&) = delete;
    ProcThreadAttributeList& operator=(const ProcThreadAttributeList&) = delete;
    ~ProcThreadAttributeList() {
        if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
    }
    [[nodiscard]] LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return list_; }
    explicit operator bool() const noexcept { return list_ != nullptr; }

private:
    std::unique_ptr<std::byte[]> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Windows Sockets.
struct SocketTraits {
    using Type = SOCKET;
    static Type empty() noexcept { return INVALID_SOCKET; }
    static bool valid(Type s) noexcept { return s != INVALID_SOCKET; }
    static void close(Type s) noexcept { ::closesocket(s); }
};
using UniqueSocket = UniqueResource<SocketTraits>;

// CNG algorithm providers, hashes and keys.
struct AlgorithmProviderTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueAlgorithmProvider = UniqueResource<AlgorithmProviderTraits>;

struct HashHandleTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::BCryptDestroyHash(h); }
};
using UniqueHashHandle = UniqueResource<HashHandleTraits>;

struct KeyHandleTraits {
    using Type = BCRYPT_KEY_HANDLE;
    static Type empty() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { ::BCryptDestroyKey(h); }
};
using UniqueKeyHandle = UniqueResource<KeyHandleTraits>;

// A COM interface pointer this code holds one reference of.
template <typename Interface>
class ComReference {
public:
    ComReference() noexcept = default;
    ComReference(const ComReference&) = delete;
    ComReference& operator=(const ComReference&) = delete;
    ~ComReference() { reset(); }

    [[nodiscard]] Interface* get() const noexcept { return value_; }
    Interface* operator->() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != nullptr; }
    // For out-parameters (CoCreateInstance, QueryInterface): releases the current one first.
    [[nodiscard]] void** put() noexcept {
        reset();
        return reinterpret_cast<void**>(&value_);
    }
    void reset() noexcept {
        if (value_ != nullptr) std::exchange(value_, nullptr)->Release();
    }

private:
    Interface* value_ = nullptr;
};

}  // namespace nyra::win
