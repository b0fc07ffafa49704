// The CryptoAPI objects behind one cipher call: context, pass-phrase hash and
// the derived RC4 key, all released when the call ends.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include "raii.h"

struct CryptProvTraits { static HCRYPTPROV invalid() { return 0; } static void close(HCRYPTPROV h) { CryptReleaseContext(h, 0); } };
struct CryptHashTraits { static HCRYPTHASH invalid() { return 0; } static void close(HCRYPTHASH h) { CryptDestroyHash(h); } };
struct CryptKeyTraits { static HCRYPTKEY invalid() { return 0; } static void close(HCRYPTKEY h) { CryptDestroyKey(h); } };

class CipherSession {
public:
    BOOL Open();
    HCRYPTKEY Key() const { return key_.get(); }
private:
    // Declared in this order so that the key and the hash go before the context.
    UniqueOwner<HCRYPTPROV, CryptProvTraits> prov_;
    UniqueOwner<HCRYPTHASH, CryptHashTraits> hash_;
    UniqueOwner<HCRYPTKEY, CryptKeyTraits> key_;
};
