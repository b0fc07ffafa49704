#include <gtest/gtest.h>
#include <string.h>
#include "module.h"

TEST(FormatStr, WideStringArgumentAndCutAtCapacity)
{
    WCHAR buf[8];
    memset(buf, 0xbd, sizeof buf);
    EXPECT_EQ(5, FormatStr(buf, 6, L"%s-%d", L"ab", 12));
    EXPECT_STREQ(L"ab-12", buf);
    EXPECT_EQ(0xbdbd, (WORD)buf[6]) << "wrote past the terminator";

    EXPECT_EQ(5, FormatStr(buf, 6, L"%s", L"abcdefgh"));
    EXPECT_STREQ(L"abcde", buf);
    EXPECT_EQ(0xbdbd, (WORD)buf[6]);
}
