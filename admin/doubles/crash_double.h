// The exit code of a worker that the crash double ended.
#pragma once
#define QV_CRASH_EXIT_CODE 0xC0DE
