// The keys of the two tokens as the store holds them now: slot 0 is the
// caller's own key area, slot 1 the machine area. Containers are read afresh
// on every use; only the decoding of an unchanged file is kept.
#ifndef KEYHOLD_PKCS11_TOKEN_KEYS_H
#define KEYHOLD_PKCS11_TOKEN_KEYS_H

#include <sys/types.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <wincrypt.h>

#include "cryptoki.h"
#include "keys/openssl_ptr.h"
#include "store/area.h"
#include "store/container_file.h"
#include "store/unique_fd.h"

namespace keyhold::p11 {

constexpr CK_SLOT_ID kUserSlot = 0;
constexpr CK_SLOT_ID kMachineSlot = 1;
constexpr CK_ULONG kSlotCount = 2;
constexpr std::size_t kKeyIdSize = 20;  // SHA-1
using KeyId = std::array<unsigned char, kKeyIdSize>;

// One stored key, decoded into the module's library context.
struct KeyInfo {
    EvpPkeyPtr key;
    KeySlot slot = kExchangeSlot;
    bool pair = false;  // the store holds the private numbers
    bool exportable = false;
    CK_ULONG bits = 0;
    std::vector<unsigned char> modulus;   // big-endian, no leading zero
    std::vector<unsigned char> exponent;  // big-endian, no leading zero
    KeyId id{};                           // SHA-1 of the modulus bytes
    std::vector<unsigned char> publicKeyInfo;  // DER SubjectPublicKeyInfo
};
using KeyInfoPtr = std::shared_ptr<const KeyInfo>;

struct ContainerKeys {
    KeyInfoPtr keys[kKeySlotCount];
};

// A key of any library context (a decoded blob, a new key pair) moved into
// the module's: its numbers, the public attributes and the id. Null when
// OpenSSL fails.
KeyInfoPtr MakeKeyInfo(const EVP_PKEY* key, KeySlot slot, bool pair, bool exportable);

// The id of a key: the SHA-1 of its modulus's big-endian bytes.
bool KeyIdOf(const EVP_PKEY* key, KeyId& id);

// Decoded containers, keyed by area and name, valid while the file is the
// same one (device, inode, size, change times) for the same user.
class KeyCache {
public:
    struct FileIdentity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        long mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
        uid_t user = 0;
        bool operator==(const FileIdentity& o) const;
    };
    bool Find(const std::string& key, const FileIdentity& identity, ContainerKeys& out);
    void Keep(const std::string& key, const FileIdentity& identity, const ContainerKeys& keys);

    // The area directory of a slot as the last full read opened and checked
    // it (while the area's path is still `dir`), or null.
    std::shared_ptr<const UniqueFd> AreaOf(CK_SLOT_ID slot, const std::string& dir);
    void KeepArea(CK_SLOT_ID slot, const std::string& dir, std::shared_ptr<const UniqueFd> fd);

private:
    struct Entry {
        FileIdentity identity;
        ContainerKeys keys;
    };
    struct OpenArea {
        std::string dir;
        std::shared_ptr<const UniqueFd> fd;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    OpenArea areas_[kSlotCount];
};

// The token's area; `create` makes it on the way.
DWORD LocateTokenArea(CK_SLOT_ID slot, bool create, Area& area);

// The keys of the container `name` in the token's area. NTE_BAD_KEYSET when
// it is missing, otherwise the store's errors (ERROR_ACCESS_DENIED for
// another user's, NTE_KEYSET_ENTRY_BAD for a damaged file or key).
DWORD ReadContainerKeys(KeyCache& cache, CK_SLOT_ID slot, std::string_view name, ContainerKeys& out);

// The names of the containers of the token's area that this user may read.
DWORD ListTokenContainers(CK_SLOT_ID slot, std::vector<std::string>& names);

}  // namespace keyhold::p11

#endif
