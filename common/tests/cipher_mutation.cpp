// Seeded corruption of stored secrets. Each case is the stored form of a
// random secret, bent (characters changed, dropped, added, padding moved,
// lengths off by one); Base64Decode and DecryptCredential must never write
// past their buffers, and whenever the text is strict Base64 the secret must
// be exactly what a decoder written here (Base64, RC4 under the same key,
// the ANSI code page) reads from it. Run with Wine's heap checking on.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>
#include <string.h>
#include <string>
#include <vector>
#include "cipher.h"
#include "mutation.h"

namespace {

using mutation::Rng;

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c)
{
    const char* p = c ? strchr(kAlphabet, c) : nullptr;
    return p ? (int)(p - kAlphabet) : -1;
}

// Strict Base64: groups of four, '=' only as the last one or two characters.
bool StrictBase64(const std::string& t, std::vector<BYTE>* out)
{
    out->clear();
    if (t.empty() || t.size() % 4)
        return false;
    for (size_t g = 0; g < t.size(); g += 4) {
        int s[4];
        size_t pad = 0;
        for (int i = 0; i < 4; i++) {
            char c = t[g + i];
            bool last = g + 4 == t.size();
            if (c == '=' && last && i >= 2 && (i == 3 || t[g + 3] == '=')) {
                s[i] = 0;
                pad++;
                continue;
            }
            if (pad || (s[i] = Sextet(c)) < 0)
                return false;
        }
        DWORD v = (DWORD)s[0] << 18 | (DWORD)s[1] << 12 | (DWORD)s[2] << 6 | (DWORD)s[3];
        out->push_back((BYTE)(v >> 16));
        if (pad < 2)
            out->push_back((BYTE)(v >> 8));
        if (pad < 1)
            out->push_back((BYTE)v);
    }
    return true;
}

// RC4 keyed with the first 16 bytes of SHA-1 of the pass phrase.
std::vector<BYTE> Rc4Key()
{
    static const BYTE phrase[8] = {'v', 'o', 'r', 'm', 'k', 'a', 'l', 'e'};
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[20] = {};
    DWORD cb = sizeof digest;
    if (CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash)) {
            CryptHashData(hash, phrase, sizeof phrase, 0);
            CryptGetHashParam(hash, HP_HASHVAL, digest, &cb, 0);
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(prov, 0);
    }
    return std::vector<BYTE>(digest, digest + 16);
}

void Rc4(const std::vector<BYTE>& key, std::vector<BYTE>& data)
{
    BYTE s[256];
    for (int i = 0; i < 256; i++)
        s[i] = (BYTE)i;
    for (int i = 0, j = 0; i < 256; i++) {
        j = (j + s[i] + key[i % key.size()]) & 255;
        std::swap(s[i], s[j]);
    }
    for (size_t n = 0, i = 0, j = 0; n < data.size(); n++) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        std::swap(s[i], s[j]);
        data[n] ^= s[(s[i] + s[j]) & 255];
    }
}

// The secret as the stored text should give it back; false when strict
// Base64 does not read the text (the product may be more lenient there).
bool ExpectedSecret(const std::vector<BYTE>& key, const std::string& text, std::wstring* secret)
{
    std::vector<BYTE> bytes;
    if (!StrictBase64(text, &bytes) || bytes.empty())
        return false;
    bytes.pop_back();   // the zero byte the encoder appended
    secret->clear();
    if (bytes.size() + 1 > CCH_CREDENTIAL)
        return true;    // callers keep no secret that needs more room
    Rc4(key, bytes);
    size_t n = 0;
    while (n < bytes.size() && bytes[n])
        n++;
    WCHAR wide[1024];
    int chars = n ? MultiByteToWideChar(CP_ACP, 0, (LPCSTR)bytes.data(), (int)n, wide, ARRAYSIZE(wide)) : 0;
    if (n && chars <= 0)
        return false;
    secret->assign(wide, chars);
    return true;
}

class SecretFuzzer {
public:
    explicit SecretFuzzer(unsigned seed) : rng_(seed) {}

    std::string Stored()
    {
        static const WCHAR letters[] = L"aZ09 !~\x3042\x6f22\x00e9";
        std::wstring secret(1 + rng_.Below(rng_.Chance(5) ? 300 : 24), L'a');
        for (auto& c : secret)
            c = letters[rng_.Below(ARRAYSIZE(letters) - 1)];
        WCHAR out[1024];
        DWORD cch = ARRAYSIZE(out);
        if (EncryptCredential(secret.c_str(), out, &cch) != CRED_OK)
            return "";
        return std::string(out, out + wcslen(out));
    }

    void Mutate(std::string& t)
    {
        static const char extra[] = "A/+=\x01\x7f\x80 ";
        size_t at = rng_.Below((DWORD)t.size() + 1);
        switch (rng_.Below(6)) {
        case 0:
            if (at < t.size())
                t[at] = kAlphabet[rng_.Below(64)];
            break;
        case 1:
            if (at < t.size())
                t[at] = extra[rng_.Below(sizeof extra - 1)];
            break;
        case 2:   // one group more or less
            if (rng_.Chance(50) && t.size() >= 4)
                t.erase(at < t.size() - 3 ? at : t.size() - 4, 4);
            else
                t.insert(at, rng_.Chance(50) ? "AAAA" : "====");
            break;
        case 3:   // length off by one or two
            if (rng_.Chance(50) && !t.empty())
                t.erase(at < t.size() ? at : t.size() - 1, 1);
            else
                t.insert(at, rng_.Chance(50) ? "=" : "Q=");
            break;
        case 4:   // padding moved or stripped
            while (!t.empty() && t.back() == '=')
                t.pop_back();
            if (rng_.Chance(50))
                t.insert(rng_.Below((DWORD)t.size() + 1), "==");
            break;
        default:
            t.resize(rng_.Below((DWORD)t.size() + 1));
            break;
        }
    }

    Rng& rng() { return rng_; }

private:
    Rng rng_;
};

}  // namespace

TEST(CipherMutation, StoredTextIsReadExactlyOrRefusedWithoutOverruns)
{
    const unsigned seed = mutation::Seed(20261209);
    const DWORD cases = mutation::CaseCount(20000);
    mutation::BeginRun("CipherMutation", seed);
    const std::vector<BYTE> key = Rc4Key();
    SecretFuzzer fz(seed);
    // Enciphering opens a provider each time: a pool of stored forms, made once.
    std::vector<std::string> pool;
    while (pool.size() < 256)
        if (!(pool.emplace_back(fz.Stored())).size())
            pool.pop_back();
    std::vector<BYTE> out, strictBytes;
    DWORD strictCount = 0, deciphered = 0, matched = 0, refused = 0;
    for (DWORD i = 0; i < cases; i++) {
        mutation::NoteCase(i);
        std::string t = pool[fz.rng().Below((DWORD)pool.size())];
        for (DWORD n = fz.rng().Below(4); n; n--)
            fz.Mutate(t);

        // Base64Decode writes into exactly textLength bytes, between guards,
        // and reads strict Base64 as the decoder here does.
        out.assign(t.size() + 8, 0xbd);
        DWORD length = 0xdeadbeef;
        int status = Base64Decode(t.c_str(), out.data() + 4, &length, (DWORD)t.size());
        for (int g = 0; g < 4; g++) {
            ASSERT_EQ(0xbd, out[g]) << "wrote before the buffer, case " << i;
            ASSERT_EQ(0xbd, out[t.size() + 4 + g]) << "wrote past the buffer, case " << i;
        }
        if (status == CRED_OK) {
            ASSERT_LT(length, (DWORD)t.size()) << "case " << i;
        }
        bool strict = StrictBase64(t, &strictBytes) && !strictBytes.empty();
        if (strict) {
            strictCount++;
            ASSERT_EQ(CRED_OK, status) << "seed " << seed << " case " << i << " text " << t;
            ASSERT_EQ((DWORD)strictBytes.size() - 1, length) << "case " << i << " text " << t;
            ASSERT_EQ(0, memcmp(strictBytes.data(), out.data() + 4, length)) << "case " << i << " text " << t;
        }

        // Deciphering opens a provider each time: a sample goes that far.
        if (i % 40 == 0) {
            std::wstring stored(t.begin(), t.end());
            std::wstring want;
            bool expected = ExpectedSecret(key, t, &want);
            WCHAR secret[CCH_CREDENTIAL + 4];
            for (auto& c : secret)
                c = 0xbdbd;
            ReadStoredCredential(stored.c_str(), secret);
            size_t len = wcsnlen(secret, CCH_CREDENTIAL);
            ASSERT_LT(len, (size_t)CCH_CREDENTIAL) << "case " << i;
            for (size_t g = CCH_CREDENTIAL; g < ARRAYSIZE(secret); g++)
                ASSERT_EQ(0xbdbd, (WORD)secret[g]) << "case " << i;
            if (expected) {
                matched++;
                ASSERT_TRUE(want == secret) << "seed " << seed << " case " << i << " text " << t;
            } else if (len == 0) {
                refused++;
            }
            deciphered++;
        }
        if (i % 4096 == 0) {
            ASSERT_TRUE(mutation::AllHeapsValid()) << "case " << i;
        }
    }
    EXPECT_TRUE(mutation::AllHeapsValid());
    printf("%lu cases, %lu strict Base64; %lu deciphered: %lu matched the decoder, %lu refused\n",
           cases, strictCount, deciphered, matched, refused);
    EXPECT_GT(strictCount, cases / 10);
    EXPECT_GT(matched, deciphered / 10);
    EXPECT_GT(refused, deciphered / 20);
}
