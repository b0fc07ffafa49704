// Known answers below were computed outside this code base (RC4 keyed with
// the first 16 bytes of SHA-1 of the pass phrase, plain text in code page
// 932, a zero byte appended, standard Base64).
// The counting CryptAcquireContextW below replaces the import.
#define _ADVAPI32_
#define WINIMPM
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>
#include <string.h>
#include <string>
#include "cipher.h"

static LONG g_acquireCalls;

typedef BOOL (WINAPI *AcquireFn)(HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD);
extern "C" BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* prov, LPCWSTR container, LPCWSTR provider,
                                            DWORD type, DWORD flags)
{
    InterlockedIncrement(&g_acquireCalls);
    static AcquireFn real = (AcquireFn)(void*)GetProcAddress(LoadLibraryW(L"advapi32.dll"), "CryptAcquireContextW");
    return real(prov, container, provider, type, flags);
}
#ifdef _WIN64
#define IMP_ACQUIRE "__imp_CryptAcquireContextW"
#else
#define IMP_ACQUIRE "__imp__CryptAcquireContextW@20"
#endif
void* g_impAcquire __asm__(IMP_ACQUIRE) = (void*)&CryptAcquireContextW;

namespace {

struct KnownAnswer {
    const wchar_t* secret;
    const wchar_t* stored;
    bool needsCp932;
};

const KnownAnswer kKnown[] = {
    {L"a", L"hAA=", false},                 // 1 byte: 2 bytes encoded, one "="
    {L"ab", L"hMgA", false},                // 2 bytes: 3 bytes encoded, no padding
    {L"abc", L"hMiDAA==", false},           // 3 bytes: 4 bytes encoded, "=="
    {L"secret", L"ls+Dqlt5AA==", false},    // cipher bytes 96 cf 83 aa 5b 79
    {L"Passw0rd!", L"tcuTq0k9VX90AA==", false},
    {L"\u30d1\u30b9\u30ef\u30fc\u30c9", L"ZtpjgL2CpkDWgwA=", true},   // katakana, 10 bytes in 932
    {L"\uff71\uff72\u79d8\u5bc6", L"VBh0MaiqAA==", true},             // half-width kana and kanji, 6 bytes
    {L"\u7ba1\u7406\u8005", L"b213RbDfAA==", true},
};

TEST(Cipher, KnownAnswersEncipherAndDecipher)
{
    for (const KnownAnswer& k : kKnown) {
        SCOPED_TRACE(testing::Message() << "stored " << std::string(k.stored, k.stored + wcslen(k.stored)));
        if (k.needsCp932 && GetACP() != 932) {
            ADD_FAILURE() << "the prefix's ANSI code page is " << GetACP() << ", not 932";
            continue;
        }
        DWORD cch = 0;
        ASSERT_EQ(CRED_OK, EncryptCredential(k.secret, nullptr, &cch));
        EXPECT_EQ(wcslen(k.stored) + 1, cch);
        WCHAR stored[64];
        cch = ARRAYSIZE(stored);
        ASSERT_EQ(CRED_OK, EncryptCredential(k.secret, stored, &cch));
        EXPECT_STREQ(k.stored, stored);
        EXPECT_EQ(wcslen(k.stored) + 1, cch);

        WCHAR secret[CCH_CREDENTIAL];
        cch = ARRAYSIZE(secret);
        ASSERT_EQ(CRED_OK, DecryptCredential(k.stored, secret, &cch));
        EXPECT_STREQ(k.secret, secret);
        EXPECT_EQ(wcslen(k.secret) + 1, cch);
    }
}

TEST(Cipher, SizeProtocolRefusesShortBuffersAndWritesNothingPastTheText)
{
    WCHAR buf[16];
    DWORD cch = 4;   // "hAA=" needs 5 with its terminator
    EXPECT_EQ(CRED_ENCRYPT_FAILED, EncryptCredential(L"a", buf, &cch));
    memset(buf, 0xbd, sizeof buf);
    cch = 5;
    EXPECT_EQ(CRED_OK, EncryptCredential(L"a", buf, &cch));
    EXPECT_STREQ(L"hAA=", buf);
    EXPECT_EQ(0xbdbd, (WORD)buf[5]);

    // Deciphering asks for bytes + 1 characters: 7 for "secret".
    cch = 0;
    EXPECT_EQ(CRED_OK, DecryptCredential(L"ls+Dqlt5AA==", nullptr, &cch));
    EXPECT_EQ(7u, cch);
    cch = 6;
    EXPECT_EQ(CRED_DECRYPT_FAILED, DecryptCredential(L"ls+Dqlt5AA==", buf, &cch));
    memset(buf, 0xbd, sizeof buf);
    cch = 7;
    EXPECT_EQ(CRED_OK, DecryptCredential(L"ls+Dqlt5AA==", buf, &cch));
    EXPECT_STREQ(L"secret", buf);
    EXPECT_EQ(0xbdbd, (WORD)buf[7]);

    EXPECT_EQ(CRED_ENCRYPT_FAILED, EncryptCredential(L"a", buf, nullptr));
    EXPECT_EQ(CRED_DECRYPT_FAILED, DecryptCredential(L"hAA=", buf, nullptr));
    EXPECT_EQ(CRED_DECRYPT_FAILED, DecryptCredential(nullptr, buf, &cch));
}

TEST(Cipher, CorruptStoredTextFailsAndLeavesTheSecretEmpty)
{
    static const wchar_t* const corrupt[] = {
        L"hAA=h",          // 5 characters
        L"hAA",            // 3 characters
        L"hA*=",           // a character outside the alphabet
        L"h A=",           // a blank inside
        L"h===",           // three padding characters
        L"hAA=====",       // 2 + 3 padding characters
        L"\u30d1AA=",      // not ASCII at all
    };
    for (const wchar_t* text : corrupt) {
        SCOPED_TRACE(testing::Message() << wcslen(text) << " characters");
        WCHAR secret[CCH_CREDENTIAL];
        DWORD cch = ARRAYSIZE(secret);
        EXPECT_EQ(CRED_DECRYPT_FAILED, DecryptCredential(text, secret, &cch));
        wcscpy(secret, L"sentinel");
        ReadStoredCredential(text, secret);
        EXPECT_STREQ(L"", secret);
    }
}

TEST(Cipher, EmptyValuesNeedNoProvider)
{
    LONG before = g_acquireCalls;
    WCHAR secret[CCH_CREDENTIAL] = L"sentinel";
    DWORD cch = 1234;
    EXPECT_EQ(CRED_OK, DecryptCredential(L"", secret, &cch));
    EXPECT_STREQ(L"sentinel", secret);
    EXPECT_EQ(1234u, cch);
    ReadStoredCredential(L"", secret);
    EXPECT_STREQ(L"", secret);
    // The empty secret is stored as an empty value, so enciphering it fails.
    EXPECT_EQ(CRED_ENCRYPT_FAILED, EncryptCredential(L"", nullptr, &cch));
    EXPECT_EQ(before, g_acquireCalls);

    ReadStoredCredential(L"hAA=", secret);
    EXPECT_STREQ(L"a", secret);
    EXPECT_LT(before, g_acquireCalls);
}

TEST(Cipher, RoundTripsUpToTheLongestSecretCallersKeep)
{
    std::wstring printable;
    for (wchar_t c = 0x20; c < 0x7f; c++)
        printable += c;
    const std::wstring secrets[] = {
        L"x", L"xy", L"xyz", L"wxyz", printable, std::wstring(255, L'x'),
        L"\u65e5\u672c\u8a9e\u306e\u30d1\u30b9\u30ef\u30fc\u30c9 mixed 123",
    };
    for (const std::wstring& s : secrets) {
        SCOPED_TRACE(s.size());
        WCHAR stored[1024];
        DWORD cch = ARRAYSIZE(stored);
        ASSERT_EQ(CRED_OK, EncryptCredential(s.c_str(), stored, &cch));
        EXPECT_EQ(wcslen(stored) + 1, cch);
        WCHAR secret[CCH_CREDENTIAL];
        ReadStoredCredential(stored, secret);
        EXPECT_EQ(s, secret);
    }
    // 256 characters need 257: callers keep the secret empty rather than cut it.
    WCHAR stored[1024];
    DWORD cch = ARRAYSIZE(stored);
    ASSERT_EQ(CRED_OK, EncryptCredential(std::wstring(256, L'x').c_str(), stored, &cch));
    WCHAR secret[CCH_CREDENTIAL] = L"sentinel";
    ReadStoredCredential(stored, secret);
    EXPECT_STREQ(L"", secret);
}

}  // namespace
