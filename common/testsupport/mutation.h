// Scaffolding of the seeded mutation runs: a generator, the case count
// (QV_FUZZ_CASES and QV_FUZZ_SEED let `make fuzz` run any of them longer or
// elsewhere), heap checks, buffers that end at a no-access page so that a
// read past the end faults at once, and a note of the current case that a
// crash prints. Test builds only.
#pragma once
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <random>

namespace mutation {

class Rng {
public:
    explicit Rng(unsigned seed) : rng_(seed) {}
    DWORD Below(DWORD n) { return n ? (DWORD)(rng_() % n) : 0; }
    bool Chance(DWORD percent) { return Below(100) < percent; }
    DWORD Next() { return (DWORD)rng_(); }
private:
    std::mt19937 rng_;
};

inline DWORD EnvNumber(const char* name, DWORD def)
{
    char text[32];
    DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
    if (n == 0 || n >= sizeof text)
        return def;
    return (DWORD)strtoul(text, nullptr, 0);
}

inline DWORD CaseCount(DWORD def) { return EnvNumber("QV_FUZZ_CASES", def); }
inline unsigned Seed(unsigned def) { return (unsigned)EnvNumber("QV_FUZZ_SEED", def); }

// With Wine's heap checking on, a write past any block shows here.
inline bool AllHeapsValid()
{
    HANDLE heaps[256];
    DWORD n = GetProcessHeaps(ARRAYSIZE(heaps), heaps);
    for (DWORD i = 0; i < n && i < ARRAYSIZE(heaps); i++)
        if (!HeapValidate(heaps[i], 0, nullptr))
            return false;
    return true;
}

// Bytes placed so that their end touches a no-access page.
class GuardedBuffer {
public:
    explicit GuardedBuffer(SIZE_T maxBytes)
    {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        room_ = (maxBytes + si.dwPageSize - 1) / si.dwPageSize * si.dwPageSize;
        base_ = (BYTE*)VirtualAlloc(nullptr, room_ + si.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD old;
        if (base_)
            VirtualProtect(base_ + room_, si.dwPageSize, PAGE_NOACCESS, &old);
    }
    ~GuardedBuffer() { if (base_) VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    // A copy of n bytes (n <= maxBytes) ending at the guard page.
    BYTE* Place(const void* data, SIZE_T n)
    {
        BYTE* p = base_ + room_ - n;
        if (n)
            memcpy(p, data, n);
        return p;
    }
private:
    BYTE* base_ = nullptr;
    SIZE_T room_ = 0;
};

// What a crash report names: the run, its seed and the case.
struct CaseNote {
    const char* run;
    unsigned seed;
    DWORD index;
};
inline CaseNote& CurrentCase()
{
    static CaseNote note = {"", 0, 0};
    return note;
}
inline LONG WINAPI ReportCrash(EXCEPTION_POINTERS* e)
{
    const CaseNote& c = CurrentCase();
    fprintf(stderr, "\n*** exception %08lx at %p in run %s, seed %u, case %lu\n",
            e->ExceptionRecord->ExceptionCode, e->ExceptionRecord->ExceptionAddress, c.run, c.seed, c.index);
    fflush(stderr);
    // Ends the process with the exception's code: no debugger to wait for.
    return EXCEPTION_EXECUTE_HANDLER;
}
inline void BeginRun(const char* run, unsigned seed)
{
    CurrentCase() = {run, seed, 0};
    SetUnhandledExceptionFilter(ReportCrash);
}
inline void NoteCase(DWORD index) { CurrentCase().index = index; }

}  // namespace mutation
