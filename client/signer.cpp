// Whose code the add-in runs. A downloaded library replaces the running one
// only when its complete file is this add-in's kind of library (its own
// machine type, the channel entry exported), newer than the running code,
// and, when the running add-in is signed, signed intact by the very same
// certificate. Names in a certificate prove nothing (anyone can make one
// with our subject), so the signer is compared by its encoded bytes.
#include "client.h"
#include "frame.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include <softpub.h>
#include <string.h>
#include <wintrust.h>

#define SIGNER_CERT_MAX 16384

enum OwnSignature { OWN_UNSIGNED, OWN_SIGNED, OWN_SIGNER_UNKNOWN };

static OwnSignature g_ownSignature = OWN_UNSIGNED;
static BYTE g_ownSigner[SIGNER_CERT_MAX];
static DWORD g_ownSignerSize;

static const IMAGE_NT_HEADERS* OwnHeaders()
{
    const BYTE* base = (const BYTE*)g_hInst;
    return (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
}

// The loaded image keeps its headers, and with them the size of the
// signature that the file carried when it was loaded.
static BOOL OwnImageIsSigned()
{
    const IMAGE_NT_HEADERS* nt = OwnHeaders();
    return nt->OptionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_SECURITY &&
           nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0;
}

// The encoded certificate of the file's first signer; FALSE when the file
// carries no signature that names one.
static BOOL ReadSignerCertificate(LPCWSTR path, BYTE* cert, DWORD* size)
{
    static const LPCWSTR FN = L"CheckUpdateFile";
    DWORD encoding = 0, content = 0, format = 0;
    UniqueCertStore store;
    UniqueCryptMsg msg;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, store.put(), msg.put(),
                          nullptr)) {
        LogPrintf(32, FN, L",CryptQueryObject,error %X", GetLastError());
        return FALSE;
    }
    DWORD cb = 0;
    if (!CryptMsgGetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &cb) || cb == 0)
        return FALSE;
    UniqueHeapBlock info(HeapAlloc(GetProcessHeap(), 0, cb));
    if (!info || !CryptMsgGetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, 0, info.get(), &cb))
        return FALSE;
    const CMSG_SIGNER_INFO* signer = (const CMSG_SIGNER_INFO*)info.get();
    CERT_INFO wanted = {};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    UniqueCert found(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!found || found.get()->cbCertEncoded > SIGNER_CERT_MAX)
        return FALSE;
    memcpy(cert, found.get()->pbCertEncoded, found.get()->cbCertEncoded);
    *size = found.get()->cbCertEncoded;
    return TRUE;
}

void CaptureOwnSigner()
{
    static const LPCWSTR FN = L"CaptureOwnSigner";
    g_ownSignature = OWN_UNSIGNED;
    g_ownSignerSize = 0;
    if (!OwnImageIsSigned()) {
        LogPrintf(32, FN, L",unsigned");
        return;
    }
    // Signed, but a signer this code cannot name accepts no update at all.
    g_ownSignature = OWN_SIGNER_UNKNOWN;
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(g_hInst, path, ARRAYSIZE(path));
    if (n > 0 && n < ARRAYSIZE(path) && ReadSignerCertificate(path, g_ownSigner, &g_ownSignerSize))
        g_ownSignature = OWN_SIGNED;
    LogPrintf(32, FN, L",signed,%s", g_ownSignature == OWN_SIGNED ? L"signer known" : L"signer unknown");
}

// Under some platforms the trust provider proves no more than that the file
// is intact; an untrusted root is no reason to refuse a signer compared
// byte for byte with our own.
static BOOL IsIntactlySigned(LPCWSTR path)
{
    static const LPCWSTR FN = L"CheckUpdateFile";
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG rc = WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
    LogPrintf(32, FN, L",WinVerifyTrust,%X", (DWORD)rc);
    return rc == ERROR_SUCCESS || rc == CERT_E_UNTRUSTEDROOT;
}

static BOOL SignedByUs(LPCWSTR path)
{
    static const LPCWSTR FN = L"CheckUpdateFile";
    if (g_ownSignature == OWN_UNSIGNED)
        return TRUE;
    if (g_ownSignature == OWN_SIGNER_UNKNOWN) {
        LogPrintf(LOG_E, FN, L",refused,own signer unknown");
        return FALSE;
    }
    if (!IsIntactlySigned(path)) {
        LogPrintf(LOG_E, FN, L",refused,no intact signature");
        return FALSE;
    }
    static BYTE cert[SIGNER_CERT_MAX];
    DWORD size = 0;
    if (!ReadSignerCertificate(path, cert, &size) || size != g_ownSignerSize ||
        memcmp(cert, g_ownSigner, size) != 0) {
        LogPrintf(LOG_E, FN, L",refused,signer is not ours");
        return FALSE;
    }
    return TRUE;
}

// The running code's version, from its own resource rather than from a file
// that an earlier update may already have replaced.
static BOOL OwnVersion(DWORD* ms, DWORD* ls)
{
    HRSRC res = FindResourceW(g_hInst, MAKEINTRESOURCEW(VS_VERSION_INFO), (LPCWSTR)RT_VERSION);
    DWORD size = res ? SizeofResource(g_hInst, res) : 0;
    HGLOBAL loaded = size ? LoadResource(g_hInst, res) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return FALSE;
    // The version functions read only a writable copy, never the resource itself.
    UniqueHeapBlock copy(HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size * 2));
    if (!copy)
        return FALSE;
    memcpy(copy.get(), data, size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT cb = 0;
    if (!VerQueryValueW(copy.get(), L"\\", (LPVOID*)&info, &cb) || cb < sizeof *info)
        return FALSE;
    *ms = info->dwFileVersionMS;
    *ls = info->dwFileVersionLS;
    return TRUE;
}

static BOOL IsNewerThanUs(LPCWSTR path)
{
    static const LPCWSTR FN = L"CheckUpdateFile";
    DWORD ms = 0, ls = 0, ownMs = 0, ownLs = 0;
    // The downloaded file is no loaded module: the platform reads it as it is.
    DWORD error = GetFileVersionMSLS(path, &ms, &ls);
    if (error || !OwnVersion(&ownMs, &ownLs)) {
        LogPrintf(LOG_E, FN, L",refused,version unknown,error %d", error);
        return FALSE;
    }
    BOOL newer = ms > ownMs || (ms == ownMs && ls > ownLs);
    if (!newer)
        LogPrintf(LOG_E, FN, L",refused,not newer,MS %d,LS %d,running MS %d,LS %d", ms, ls, ownMs, ownLs);
    return newer;
}

// The whole file, as the swap would install it.
static int CheckImageFile(LPCWSTR path, DWORD size)
{
    UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    UniqueHeapBlock bytes(size ? HeapAlloc(GetProcessHeap(), 0, size) : nullptr);
    DWORD got = 0;
    if (!file || !bytes || GetFileSize(file.get(), nullptr) != size ||
        !ReadFile(file.get(), bytes.get(), size, &got, nullptr) || got != size)
        return IMAGE_NOT_PE;
    return CheckAddinImage((const BYTE*)bytes.get(), size, OwnHeaders()->FileHeader.Machine);
}

BOOL IsAcceptableUpdate(LPCWSTR path, DWORD size)
{
    static const LPCWSTR FN = L"CheckUpdateFile";
    LogScope scope(FN, 32);
    int image = CheckImageFile(path, size);
    if (image != IMAGE_OK) {
        LogPrintf(LOG_E, FN, L",refused,%s", AddinImageRefusalName(image));
        return FALSE;
    }
    if (!IsNewerThanUs(path) || !SignedByUs(path))
        return FALSE;
    LogPrintf(32, FN, L",accepted");
    return TRUE;
}
