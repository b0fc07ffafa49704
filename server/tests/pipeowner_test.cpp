// Whom the server believes to be the service at the other end of its pipe.
#include <gtest/gtest.h>
#include <aclapi.h>
#include <vector>
#include "elevate.h"

namespace {

// A pipe of the service's name made by another user while the service is
// stopped must not be believed; the service's own and our own are.
TEST(ServicePipeOwner, OnlyLocalSystemAdministratorsOrOurOwnUser)
{
    auto sid = [](WELL_KNOWN_SID_TYPE type, std::vector<BYTE>& buf) {
        buf.assign(SECURITY_MAX_SID_SIZE, 0);
        DWORD size = (DWORD)buf.size();
        return CreateWellKnownSid(type, nullptr, buf.data(), &size) ? (PSID)buf.data() : nullptr;
    };
    // An ordinary account of some domain: S-1-5-21-1-2-3-1001.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID user = nullptr, other = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 5, 21, 1, 2, 3, 1001, 0, 0, 0, &user));
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 5, 21, 1, 2, 3, 1002, 0, 0, 0, &other));
    std::vector<BYTE> system, admins, service, guests;
    static const char* names[] = {"local system", "administrators", "our user", "another user",
                                  "network service", "guests", "no owner"};
    struct { PSID owner; BOOL trusted; } cases[] = {
        {sid(WinLocalSystemSid, system), TRUE}, {sid(WinBuiltinAdministratorsSid, admins), TRUE},
        {user, TRUE}, {other, FALSE}, {sid(WinNetworkServiceSid, service), FALSE},
        {sid(WinBuiltinGuestsSid, guests), FALSE}, {nullptr, FALSE}};
    for (size_t i = 0; i < ARRAYSIZE(cases); i++)
        EXPECT_EQ(cases[i].trusted, IsTrustedPipeOwner(cases[i].owner, user)) << names[i];
    EXPECT_FALSE(IsTrustedPipeOwner(other, nullptr));
    FreeSid(user);
    FreeSid(other);
}

// A pipe whose owner cannot be told (Wine gives none) is refused; one owned
// by our own user is believed.
TEST(ServicePipeOwner, APipeWithoutAnOwnerIsNeverBelieved)
{
    WCHAR name[64];
    wsprintfW(name, L"\\\\.\\pipe\\qv_owner_%lu", GetCurrentProcessId());
    HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    HANDLE client = CreateFileW(name, FILE_GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(0u, GetSecurityInfo(client, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                  nullptr, &sd));
    EXPECT_EQ(owner ? 0u : (DWORD)ERROR_INVALID_OWNER, CheckPipeOwner(client));
    LocalFree(sd);
    CloseHandle(client);
    CloseHandle(server);
}

}  // namespace
