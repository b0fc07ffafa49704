// Deciphering half of the credential cipher, plus the provider set-up that
// both halves share. The server module links only this file.
#include "cipher.h"
#include "cipher_provider.h"
#include "log.h"
#include "raii.h"
#include <string.h>

// Fed to SHA-1 as these 8 bytes, without a terminator: the key of every
// stored secret in the field depends on them.
static const BYTE kPassPhrase[8] = { 'v', 'o', 'r', 'm', 'k', 'a', 'l', 'e' };

BOOL CipherSession::Open()
{
    // The key is derived for this call only and never stored: a context
    // without a key container neither creates one in the user's profile nor
    // keeps one open (the container's handle has been seen to stay behind
    // after every call, which a process running for weeks cannot afford).
    if (!CryptAcquireContextW(prov_.put(), nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        LogPrintf(LOG_E, L"CipherSession", L",CryptAcquireContext,error %d", GetLastError());
        return FALSE;
    }
    // RC4 with a 128-bit key: the first 16 bytes of the digest, no salt.
    if (!CryptCreateHash(prov_.get(), CALG_SHA1, 0, 0, hash_.put())
        || !CryptHashData(hash_.get(), kPassPhrase, sizeof kPassPhrase, 0)
        || !CryptDeriveKey(prov_.get(), CALG_RC4, hash_.get(), 0x800000, key_.put())) {
        LogPrintf(LOG_E, L"CipherSession", L",CryptDeriveKey,error %d", GetLastError());
        return FALSE;
    }
    return TRUE;
}

int Base64Decode(LPCSTR text, BYTE* out, DWORD* decodedLength, DWORD textLength)
{
    LogScope scope(L"Base64Decode");
    if (!text || !out || !decodedLength || textLength == 0 || textLength % 4 != 0)
        return CRED_DECRYPT_FAILED;
    DWORD padding = 0;
    BYTE* dst = out;
    for (DWORD group = 0; group < textLength; group += 4) {
        BYTE c[4];
        for (int i = 0; i < 4; i++) {
            char ch = text[group + i];
            if (ch >= 'A' && ch <= 'Z') c[i] = (BYTE)(ch - 'A');
            else if (ch >= 'a' && ch <= 'z') c[i] = (BYTE)(ch - 'a' + 26);
            else if (ch >= '0' && ch <= '9') c[i] = (BYTE)(ch - '0' + 52);
            else if (ch == '+') c[i] = 62;
            else if (ch == '/') c[i] = 63;
            else if (ch == '=') { c[i] = 0; padding += (i == 0) ? 2 : 1; }
            else return CRED_DECRYPT_FAILED;
        }
        *dst++ = (BYTE)(c[0] * 4 + c[1] / 16);
        *dst++ = (BYTE)(c[1] * 16 + c[2] / 4);
        *dst++ = (BYTE)(c[2] * 64 + c[3]);
    }
    if (padding > 2)
        return CRED_DECRYPT_FAILED;
    // The encoder appended one zero byte after the cipher text.
    *decodedLength = 3 * (textLength / 4) - padding - 1;
    return CRED_OK;
}

int DecryptText(BYTE* buffer, DWORD length, LPWSTR out, DWORD* cch)
{
    LogScope scope(L"DecryptText");
    if (!buffer || !cch)
        return CRED_DECRYPT_FAILED;
    CipherSession session;
    if (!session.Open())
        return CRED_DECRYPT_FAILED;
    DWORD done = length;
    if (!CryptDecrypt(session.Key(), 0, TRUE, 0, buffer, &done)) {
        LogPrintf(LOG_E, L"DecryptText", L",CryptDecrypt,error %d", GetLastError());
        return CRED_DECRYPT_FAILED;
    }
    DWORD needed = done + 1;
    if (!out) {
        *cch = needed;
        return CRED_OK;
    }
    if (*cch < needed)
        return CRED_DECRYPT_FAILED;
    // The plain text ends at its first zero byte; never read beyond length.
    int bytes = (int)strnlen((const char*)buffer, done);
    int chars = bytes ? MultiByteToWideChar(CP_ACP, 0, (LPCSTR)buffer, bytes, out, (int)*cch - 1) : 0;
    if (bytes && chars <= 0)
        return CRED_DECRYPT_FAILED;
    out[chars] = 0;
    *cch = (DWORD)chars + 1;
    return CRED_OK;
}

int DecryptCredential(LPCWSTR stored, LPWSTR out, DWORD* cch)
{
    LogScope scope(L"DecryptCredential");
    if (!stored || !cch)
        return CRED_DECRYPT_FAILED;
    if (!stored[0])
        return CRED_OK;
    int ansiSize = WideCharToMultiByte(CP_ACP, 0, stored, -1, nullptr, 0, nullptr, nullptr);
    if (ansiSize <= 0)
        return CRED_DECRYPT_FAILED;
    UniqueHeapBlock ansi(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)ansiSize + 1));
    if (!ansi || WideCharToMultiByte(CP_ACP, 0, stored, -1, (LPSTR)ansi.get(), ansiSize, nullptr, nullptr) <= 0)
        return CRED_DECRYPT_FAILED;
    DWORD ansiLength = (DWORD)strlen((LPCSTR)ansi.get());
    UniqueHeapBlock work(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)ansiLength + 1));
    if (!work)
        return CRED_DECRYPT_FAILED;
    DWORD decoded = 0;
    int status = Base64Decode((LPCSTR)ansi.get(), (BYTE*)work.get(), &decoded, ansiLength);
    if (status != CRED_OK)
        return status;
    return DecryptText((BYTE*)work.get(), decoded, out, cch);
}

void ReadStoredCredential(LPCWSTR stored, LPWSTR secret)
{
    secret[0] = 0;
    DWORD needed = 0;
    if (!stored || !stored[0])
        return;
    if (DecryptCredential(stored, nullptr, &needed) != CRED_OK || needed > CCH_CREDENTIAL)
        return;
    DWORD cch = CCH_CREDENTIAL;
    if (DecryptCredential(stored, secret, &cch) != CRED_OK)
        secret[0] = 0;
}
