#include "token_keys.h"

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "crypto_context.h"
#include "keys/blob_codec.h"
#include "keys/key_slots.h"
#include "keys/rsa_numbers.h"
#include "store/area_dir.h"
#include "store/container_store.h"

namespace keyhold::p11 {

namespace {

// A cache of a 100,000-container store would hold every key of it; past this
// many containers it starts again.
constexpr std::size_t kMaxCachedContainers = 4096;

std::vector<unsigned char> BigEndian(const BIGNUM* number) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(BN_num_bytes(number)));
    BN_bn2bin(number, bytes.data());
    return bytes;
}

bool Sha1(const std::vector<unsigned char>& data, KeyId& out) {
    const EVP_MD* md = ModuleDigest("SHA1");
    unsigned int length = 0;
    return md != nullptr && EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) == 1 &&
           length == kKeyIdSize;
}

}  // namespace

KeyInfoPtr MakeKeyInfo(const EVP_PKEY* key, KeySlot slot, bool pair, bool exportable) {
    RsaNumbers numbers;
    if (key == nullptr || !ReadRsaNumbers(key, numbers)) return nullptr;
    auto info = std::make_shared<KeyInfo>();
    const BIGNUM* values[kRsaNumberCount];
    for (int i = 0; i < kRsaNumberCount; ++i) values[i] = numbers.value[i].get();
    // Built again in the module's own context.
    info->key = RsaKeyFromNumbers(values, pair, ModuleCrypto());
    info->slot = slot;
    info->pair = pair;
    info->exportable = pair && exportable;
    info->bits = static_cast<CK_ULONG>(BN_num_bits(numbers.get(kRsaN)));
    info->modulus = BigEndian(numbers.get(kRsaN));
    info->exponent = BigEndian(numbers.get(kRsaE));
    const int spkiLength = info->key ? i2d_PUBKEY(info->key.get(), nullptr) : 0;
    if (!info->key || spkiLength <= 0 || !Sha1(info->modulus, info->id)) {
        ERR_clear_error();
        return nullptr;
    }
    info->publicKeyInfo.resize(static_cast<std::size_t>(spkiLength));
    unsigned char* cursor = info->publicKeyInfo.data();
    if (i2d_PUBKEY(info->key.get(), &cursor) != spkiLength) {
        ERR_clear_error();
        return nullptr;
    }
    return info;
}

bool KeyIdOf(const EVP_PKEY* key, KeyId& id) {
    RsaNumbers numbers;
    return ReadRsaNumbers(key, numbers) && Sha1(BigEndian(numbers.get(kRsaN)), id);
}

bool KeyCache::FileIdentity::operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size && mtimeSec == o.mtimeSec &&
           mtimeNsec == o.mtimeNsec && ctimeSec == o.ctimeSec && ctimeNsec == o.ctimeNsec && user == o.user;
}

bool KeyCache::Find(const std::string& key, const FileIdentity& identity, ContainerKeys& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(key);
    if (it == entries_.end() || !(it->second.identity == identity)) return false;
    out = it->second.keys;
    return true;
}

void KeyCache::Keep(const std::string& key, const FileIdentity& identity, const ContainerKeys& keys) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() >= kMaxCachedContainers) entries_.clear();
    entries_[key] = Entry{identity, keys};
}

std::shared_ptr<const UniqueFd> KeyCache::AreaOf(CK_SLOT_ID slot, const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    const OpenArea& area = areas_[slot];
    return area.dir == dir ? area.fd : nullptr;
}

void KeyCache::KeepArea(CK_SLOT_ID slot, const std::string& dir, std::shared_ptr<const UniqueFd> fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    areas_[slot] = OpenArea{dir, std::move(fd)};
}

DWORD LocateTokenArea(CK_SLOT_ID slot, bool create, Area& area) {
    return LocateArea(slot == kMachineSlot, create, area);
}

namespace {

KeyCache::FileIdentity IdentityOf(const struct stat& st) {
    KeyCache::FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.mtimeSec = st.st_mtim.tv_sec;
    id.mtimeNsec = st.st_mtim.tv_nsec;
    id.ctimeSec = st.st_ctim.tv_sec;
    id.ctimeNsec = st.st_ctim.tv_nsec;
    id.user = geteuid();
    return id;
}

}  // namespace

DWORD ReadContainerKeys(KeyCache& cache, CK_SLOT_ID slot, std::string_view name, ContainerKeys& out) {
    DWORD rc = CheckContainerName(name);
    if (rc != ERROR_SUCCESS) return NTE_BAD_KEYSET;
    Area area;
    rc = LocateTokenArea(slot, false, area);
    if (rc != ERROR_SUCCESS) return rc;
    const std::string fileName = ContainerFileName(name);
    // An unchanged file needs no second reading or decoding: a container is
    // only ever replaced whole (a new inode), never written in place. Nor
    // does it need the walk to its area again: in the directory opened and
    // checked before, the same file with the same change time has the same
    // owner and mode, so one fstatat tells. A key removed or replaced since
    // is seen at once; anything else takes the full way below.
    std::string cacheKey = area.dir;
    cacheKey.push_back('\0');
    cacheKey.append(name);
    struct stat st {};
    if (const auto known = cache.AreaOf(slot, area.dir);
        known && fstatat(known->get(), fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        cache.Find(cacheKey, IdentityOf(st), out))
        return ERROR_SUCCESS;

    auto dir = std::make_shared<UniqueFd>();
    rc = OpenAreaDir(area, *dir);
    if (rc == ERROR_PATH_NOT_FOUND) return NTE_BAD_KEYSET;
    if (rc != ERROR_SUCCESS) return rc;
    cache.KeepArea(slot, area.dir, dir);
    UniqueFd file;
    rc = OpenContainerFile(dir->get(), fileName, file, st);
    if (rc != ERROR_SUCCESS) return rc;
    if (cache.Find(cacheKey, IdentityOf(st), out)) return ERROR_SUCCESS;

    ContainerRecord record;
    rc = ReadContainerFile(file.get(), st, name, record);
    if (rc != ERROR_SUCCESS) return rc;
    ContainerKeys keys;
    for (int i = 0; i < kKeySlotCount; ++i) {
        const auto kind = static_cast<KeySlot>(i);
        if (!record.keys[i].present) continue;
        KeyObject object;
        rc = LoadStoredKey(record.keys[i], kind, object);
        if (rc != ERROR_SUCCESS) return rc;
        keys.keys[i] = MakeKeyInfo(object.key.get(), kind, !object.publicOnly, object.exportable);
        if (!keys.keys[i]) return NTE_NO_MEMORY;
    }
    cache.Keep(cacheKey, IdentityOf(st), keys);
    out = std::move(keys);
    return ERROR_SUCCESS;
}

DWORD ListTokenContainers(CK_SLOT_ID slot, std::vector<std::string>& names) {
    Area area;
    const DWORD rc = LocateTokenArea(slot, false, area);
    if (rc != ERROR_SUCCESS) return rc;
    return ListContainerNames(area, names);
}

}  // namespace keyhold::p11
