// Blocks per second through the server's cutting and the client's LoadBlock:
// with logging off, and with every line written (the cost of a debugging run).
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <vector>
#include "rdpcmd.h"
#include "rdp_testlog.h"

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    return (double)(to.QuadPart - from.QuadPart) / (double)freq.QuadPart;
}

// Cuts one message of `size` bytes `rounds` times and loads every block.
void Measure(const char* what, DWORD size, DWORD rounds)
{
    std::vector<BYTE> msg(size, 0x5A);
    DWORD len = size - sizeof(RDPHEADER);
    memcpy(msg.data(), &len, sizeof len);
    CRdpData recv;
    DWORD blocks = 0, completed = 0;
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    for (DWORD r = 0; r < rounds; r++) {
        DWORD count = RdpBlockCount(size);
        for (WORD seq = 0; seq < count; seq++) {
            RDPBLOCKHEADER h;
            const BYTE* data = RdpBlockAt(msg.data(), size, seq, &h);
            completed += recv.LoadBlock(data, h.dwLength, h.wSeq, h.wFlags) ? 1 : 0;
            blocks++;
        }
        recv.Clear();
    }
    QueryPerformanceCounter(&t1);
    double s = Seconds(t0, t1);
    printf("%-34s %7lu bytes: %9.0f blocks/s, %8.1f MB/s (%lu blocks, %lu messages, %.2f s)\n",
           what, size, blocks / s, (double)size * rounds / s / 1e6, blocks, completed, s);
}

}  // namespace

int main()
{
    printf("bench_rdp (%d-bit)\n", (int)(sizeof(void*) * 8));
    Measure("GETFILEVER request (1 block)", 8, 200000);
    Measure("GETPROPERTIES request (1 block)", 3000, 200000);
    Measure("full blocks (20008-byte message)", 20008, 50000);
    Measure("largest request (download piece)", RDP_REQUEST_MAX, 5000);
    TestLog log;
    Measure("full blocks, every log line written", 20008, 200);
    Measure("largest request, every log line", RDP_REQUEST_MAX, 40);
    return 0;
}
