// Small owners that make "released on every path" structural.
#pragma once
#include <windows.h>
#include <winspool.h>

template <typename T, typename Traits>
class UniqueOwner {
public:
    UniqueOwner() : h_(Traits::invalid()) {}
    explicit UniqueOwner(T h) : h_(h) {}
    ~UniqueOwner() { reset(); }
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;
    UniqueOwner(UniqueOwner&& o) noexcept : h_(o.release()) {}
    UniqueOwner& operator=(UniqueOwner&& o) noexcept { if (this != &o) reset(o.release()); return *this; }
    T get() const { return h_; }
    T* put() { reset(); return &h_; }
    T release() { T h = h_; h_ = Traits::invalid(); return h; }
    void reset(T h = Traits::invalid()) { if (valid()) Traits::close(h_); h_ = h; }
    bool valid() const { return h_ != Traits::invalid(); }
    explicit operator bool() const { return valid(); }
private:
    T h_;
};

struct HandleTraits { static HANDLE invalid() { return nullptr; } static void close(HANDLE h) { CloseHandle(h); } };
struct FileTraits { static HANDLE invalid() { return INVALID_HANDLE_VALUE; } static void close(HANDLE h) { CloseHandle(h); } };
struct KeyTraits { static HKEY invalid() { return nullptr; } static void close(HKEY h) { RegCloseKey(h); } };
struct HeapTraits { static HANDLE invalid() { return nullptr; } static void close(HANDLE h) { HeapDestroy(h); } };
struct PrinterTraits { static HANDLE invalid() { return nullptr; } static void close(HANDLE h) { ClosePrinter(h); } };
struct ServiceTraits { static SC_HANDLE invalid() { return nullptr; } static void close(SC_HANDLE h) { CloseServiceHandle(h); } };
struct FindTraits { static HANDLE invalid() { return INVALID_HANDLE_VALUE; } static void close(HANDLE h) { FindClose(h); } };
struct CertStoreTraits { static HCERTSTORE invalid() { return nullptr; } static void close(HCERTSTORE h) { CertCloseStore(h, 0); } };
struct CryptMsgTraits { static HCRYPTMSG invalid() { return nullptr; } static void close(HCRYPTMSG h) { CryptMsgClose(h); } };
struct CertTraits { static PCCERT_CONTEXT invalid() { return nullptr; } static void close(PCCERT_CONTEXT c) { CertFreeCertificateContext(c); } };
struct ProcessHeapTraits { static void* invalid() { return nullptr; } static void close(void* p) { HeapFree(GetProcessHeap(), 0, p); } };

using UniqueHandle = UniqueOwner<HANDLE, HandleTraits>;   // events, mutexes, threads, processes
using UniqueFile = UniqueOwner<HANDLE, FileTraits>;       // CreateFileW results
using UniqueKey = UniqueOwner<HKEY, KeyTraits>;
using UniqueHeap = UniqueOwner<HANDLE, HeapTraits>;
using UniquePrinter = UniqueOwner<HANDLE, PrinterTraits>;
using UniqueService = UniqueOwner<SC_HANDLE, ServiceTraits>;   // OpenSCManagerW, OpenServiceW
using UniqueFind = UniqueOwner<HANDLE, FindTraits>;     // FindFirstFileW results
using UniqueCertStore = UniqueOwner<HCERTSTORE, CertStoreTraits>;
using UniqueCryptMsg = UniqueOwner<HCRYPTMSG, CryptMsgTraits>;
using UniqueCert = UniqueOwner<PCCERT_CONTEXT, CertTraits>;
using UniqueHeapBlock = UniqueOwner<void*, ProcessHeapTraits>;   // HeapAlloc(GetProcessHeap(), ...)

// Holds a mutex that has been waited for; releases it on scope exit.
class MutexLock {
public:
    explicit MutexLock(HANDLE m) : m_(m) { if (m_) WaitForSingleObject(m_, INFINITE); }
    ~MutexLock() { if (m_) ReleaseMutex(m_); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
private:
    HANDLE m_;
};

class CritSecLock {
public:
    explicit CritSecLock(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
    ~CritSecLock() { LeaveCriticalSection(cs_); }
    CritSecLock(const CritSecLock&) = delete;
    CritSecLock& operator=(const CritSecLock&) = delete;
private:
    CRITICAL_SECTION* cs_;
};

// A file that its creator deletes when it goes out of scope, unless kept.
class TempFile {
public:
    TempFile() { path_[0] = 0; }
    explicit TempFile(LPCWSTR path) { lstrcpynW(path_, path, MAX_PATH); }
    ~TempFile() { if (path_[0]) DeleteFileW(path_); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    LPWSTR buffer() { return path_; }      // MAX_PATH characters
    LPCWSTR path() const { return path_; }
    void keep() { path_[0] = 0; }
private:
    WCHAR path_[MAX_PATH];
};
