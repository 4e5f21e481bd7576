// Keeps a process's memory, which may hold private keys, to itself. Crash
// dumps come from Windows Error Reporting, which is not called for this
// process: a fault just ends it. Other processes of the same user get from
// the process object's ACL only what lets them wait for it, ask its state and
// end it, not its memory; an entry for the owner's rights takes from the
// owner the right to rewrite that ACL. A debugger with the debug privilege
// (an administrator's) still gets in, as root does on Linux.
#include <keyhold/process.h>
#include <windows.h>
#include <aclapi.h>

#include <new>

#include "security.h"

namespace {

constexpr DWORD kOthersAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;

void RestrictProcessAcl() {
    keyhold::ProcessUser user;
    BYTE ownerRights[SECURITY_MAX_SID_SIZE];
    DWORD ownerRightsSize = sizeof ownerRights;
    if (!user.Load() || !CreateWellKnownSid(WinCreatorOwnerRightsSid, nullptr, ownerRights, &ownerRightsSize)) return;
    const PSID sids[] = {user.sid(), ownerRights};
    const DWORD masks[] = {kOthersAccess, kOthersAccess};
    keyhold::AllowList acl;
    if (!acl.Build(sids, masks, 2)) return;
    SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT,
                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, acl.acl(),
                    nullptr);
}

}  // namespace

extern "C" void ProtectProcessMemory(void) {
    // As on Linux, a failure leaves nothing better to do: the program runs on.
    SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
    try {
        RestrictProcessAcl();
    } catch (...) {
    }
}
