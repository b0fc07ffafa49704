// Helpers shared by the server module's in-process tests: a private log
// folder per test process, the watch thread's event pair, and log queries.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "account.h"
#include "scratch.h"

class CPrinterList;

namespace svtest {

// A folder of this test process's own under %TEMP%, removed with its files.
using TempFolder = ScratchFolder;

// Logging at the finest detail into the test's own folder, for a user name
// that no other test process uses.
class TestLog {
public:
    // The file size limit (KB), the number of older files kept, the level.
    explicit TestLog(int sizeKb = 10240, int rotate = 5, int level = 5);
    LPCWSTR Folder() const { return folder_.path().c_str(); }
    ~TestLog();
    std::vector<std::string> Lines() const;
    // Lines whose message column contains `text`, for operation `func` (any when NULL).
    int Count(const char* text, const char* func = nullptr) const;
    bool Has(const char* text, const char* func = nullptr) const { return Count(text, func) > 0; }
    std::string Dump() const;
private:
    TempFolder folder_;
};

// What a registry tree image turns into when imported on its own.
std::wstring TreeOf(const std::vector<BYTE>& image);

// The administrator account that tests store lives in the shared support.
using ::StoreAdminAccount;

// Every printer of the list that waits for its next try may be tried now,
// as if the spacing between tries had passed (retrynow.cpp: apart, because
// the bench's "before" build links these helpers with a list that has no
// spacing).
void RetryNow(CPrinterList& list);

// The exit and timer events, as OnInitInstance creates them; closed again at
// the end of the test.
class TestEvents {
public:
    TestEvents();
    ~TestEvents();
    void SetExit();
};

}  // namespace svtest
