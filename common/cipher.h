// The administrator secret as it is kept in the common settings file: RC4
// under a fixed pass phrase, a trailing zero byte, Base64. The stored form is
// read by every deliverable, so none of it may change.
#pragma once
#include <windows.h>

#define CRED_OK             1
#define CRED_ENCRYPT_FAILED 2
#define CRED_DECRYPT_FAILED 3

// The buffer size in which callers keep the secret (and its stored form).
#define CCH_CREDENTIAL 256

// Two-call size protocol for the text outputs: with out == NULL only *cch is
// set (characters needed, terminator included); with a buffer smaller than
// that the call fails; otherwise the text is written and *cch is set to the
// characters written, terminator included.

// Enciphers a secret into its stored form. An empty secret fails (it is
// stored as an empty value instead). Administrator tool only.
int EncryptCredential(LPCWSTR secret, LPWSTR out, DWORD* cch);
// Deciphers a stored value. An empty value succeeds at once and leaves out
// and *cch untouched.
int DecryptCredential(LPCWSTR stored, LPWSTR out, DWORD* cch);

// RC4 of an ANSI string: *cipher receives a new block of the process heap
// (length + 1 bytes, the last one 0x00), freed with HeapFree by the caller.
int EncryptText(LPCSTR ansi, BYTE** cipher, DWORD* length);
// Deciphers length bytes in place and converts them (up to their first zero
// byte) from the ANSI code page.
int DecryptText(BYTE* buffer, DWORD length, LPWSTR out, DWORD* cch);

// Encodes length + 1 bytes (the cipher text and the zero byte after it).
// out must hold Base64EncodedSize(length) bytes.
void Base64Encode(const BYTE* bytes, DWORD length, LPSTR out);
DWORD Base64EncodedSize(DWORD length);
// Decodes textLength characters into out (at least textLength bytes) and
// drops the last decoded byte, which the encoder added.
int Base64Decode(LPCSTR text, BYTE* out, DWORD* decodedLength, DWORD textLength);

// Reads a stored value the way every caller does: the secret is filled only
// when the value is not empty, deciphers and fits CCH_CREDENTIAL characters;
// otherwise it is left empty.
void ReadStoredCredential(LPCWSTR stored, LPWSTR secret /* CCH_CREDENTIAL */);
