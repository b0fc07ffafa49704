// Enciphering half of the credential cipher: only the administrator tool
// stores secrets, so the server module never links this file.
#include "cipher.h"
#include "cipher_provider.h"
#include "log.h"
#include "raii.h"
#include <string.h>

static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

DWORD Base64EncodedSize(DWORD length)
{
    return 4 * ((length + 1 + 2) / 3) + 1;
}

void Base64Encode(const BYTE* bytes, DWORD length, LPSTR out)
{
    LogScope scope(L"Base64Encode");
    DWORD n = length + 1;   // the zero byte after the cipher text is encoded too
    DWORD i = 0;
    for (; i + 3 <= n; i += 3) {
        DWORD v = ((DWORD)bytes[i] << 16) | ((DWORD)bytes[i + 1] << 8) | bytes[i + 2];
        *out++ = kBase64[(v >> 18) & 63];
        *out++ = kBase64[(v >> 12) & 63];
        *out++ = kBase64[(v >> 6) & 63];
        *out++ = kBase64[v & 63];
    }
    if (n - i == 1) {
        DWORD v = (DWORD)bytes[i] << 16;
        *out++ = kBase64[(v >> 18) & 63];
        *out++ = kBase64[(v >> 12) & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (n - i == 2) {
        DWORD v = ((DWORD)bytes[i] << 16) | ((DWORD)bytes[i + 1] << 8);
        *out++ = kBase64[(v >> 18) & 63];
        *out++ = kBase64[(v >> 12) & 63];
        *out++ = kBase64[(v >> 6) & 63];
        *out++ = '=';
    }
    *out = 0;
}

int EncryptText(LPCSTR ansi, BYTE** cipher, DWORD* length)
{
    LogScope scope(L"EncryptText");
    if (!ansi || !cipher || !length)
        return CRED_ENCRYPT_FAILED;
    CipherSession session;
    if (!session.Open())
        return CRED_ENCRYPT_FAILED;
    DWORD textLength = (DWORD)strlen(ansi);
    DWORD size = textLength;
    if (!CryptEncrypt(session.Key(), 0, TRUE, 0, nullptr, &size, textLength)) {
        LogPrintf(LOG_E, L"EncryptText", L",CryptEncrypt size,error %d", GetLastError());
        return CRED_ENCRYPT_FAILED;
    }
    // RC4 keeps the length, but the buffer follows what the provider asked for.
    if (size < textLength)
        size = textLength;
    UniqueHeapBlock buf(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)size + 1));
    if (!buf)
        return CRED_ENCRYPT_FAILED;
    memcpy(buf.get(), ansi, textLength + 1);
    DWORD done = textLength;
    if (!CryptEncrypt(session.Key(), 0, TRUE, 0, (BYTE*)buf.get(), &done, size)) {
        LogPrintf(LOG_E, L"EncryptText", L",CryptEncrypt,error %d", GetLastError());
        return CRED_ENCRYPT_FAILED;
    }
    ((BYTE*)buf.get())[done] = 0;
    *cipher = (BYTE*)buf.release();
    *length = done;
    return CRED_OK;
}

int EncryptCredential(LPCWSTR secret, LPWSTR out, DWORD* cch)
{
    LogScope scope(L"EncryptCredential");
    if (!secret || !secret[0] || !cch)
        return CRED_ENCRYPT_FAILED;
    int ansiSize = WideCharToMultiByte(CP_ACP, 0, secret, -1, nullptr, 0, nullptr, nullptr);
    if (ansiSize <= 0)
        return CRED_ENCRYPT_FAILED;
    UniqueHeapBlock ansi(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)ansiSize + 1));
    if (!ansi || WideCharToMultiByte(CP_ACP, 0, secret, -1, (LPSTR)ansi.get(), ansiSize, nullptr, nullptr) <= 0)
        return CRED_ENCRYPT_FAILED;

    BYTE* cipherBytes = nullptr;
    DWORD cipherLength = 0;
    int status = EncryptText((LPCSTR)ansi.get(), &cipherBytes, &cipherLength);
    if (status != CRED_OK)
        return status;
    UniqueHeapBlock cipher(cipherBytes);

    UniqueHeapBlock text(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, Base64EncodedSize(cipherLength)));
    if (!text)
        return CRED_ENCRYPT_FAILED;
    Base64Encode(cipherBytes, cipherLength, (LPSTR)text.get());

    int needed = MultiByteToWideChar(CP_ACP, 0, (LPCSTR)text.get(), -1, nullptr, 0);
    if (needed <= 0)
        return CRED_ENCRYPT_FAILED;
    if (!out) {
        *cch = (DWORD)needed;
        return CRED_OK;
    }
    if (*cch < (DWORD)needed)
        return CRED_ENCRYPT_FAILED;
    int written = MultiByteToWideChar(CP_ACP, 0, (LPCSTR)text.get(), -1, out, (int)*cch);
    if (written <= 0)
        return CRED_ENCRYPT_FAILED;
    *cch = (DWORD)written;
    return CRED_OK;
}
