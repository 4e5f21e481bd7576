// Security descriptors that give access to the caller's own user alone.
#ifndef KEYHOLD_WINDOWS_SECURITY_H
#define KEYHOLD_WINDOWS_SECURITY_H

#include <windows.h>

#include <vector>

namespace keyhold {

// The user of the process's token.
class ProcessUser {
public:
    bool Load();
    PSID sid() const;

private:
    std::vector<DWORD> buffer_;  // a TOKEN_USER, DWORD-aligned
};

// An access control list of allow entries, in the order added.
class AllowList {
public:
    // Each entry grants its mask to its SID; false with the last error set.
    bool Build(const PSID* sids, const DWORD* masks, size_t count);
    PACL acl() { return reinterpret_cast<PACL>(buffer_.data()); }

private:
    std::vector<DWORD> buffer_;
};

}  // namespace keyhold

#endif
