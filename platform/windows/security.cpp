#include "security.h"

namespace keyhold {

bool ProcessUser::Load() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    bool ok = size != 0;
    if (ok) {
        buffer_.assign(size / sizeof(DWORD) + 1, 0);
        ok = GetTokenInformation(token, TokenUser, buffer_.data(), size, &size) != FALSE;
    }
    const DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return ok;
}

PSID ProcessUser::sid() const { return reinterpret_cast<const TOKEN_USER*>(buffer_.data())->User.Sid; }

bool AllowList::Build(const PSID* sids, const DWORD* masks, size_t count) {
    DWORD size = sizeof(ACL);
    for (size_t i = 0; i < count; ++i) size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sids[i]);
    buffer_.assign(size / sizeof(DWORD) + 1, 0);
    if (!InitializeAcl(acl(), size, ACL_REVISION)) return false;
    for (size_t i = 0; i < count; ++i) {
        if (!AddAccessAllowedAce(acl(), ACL_REVISION, masks[i], sids[i])) return false;
    }
    return true;
}

}  // namespace keyhold
