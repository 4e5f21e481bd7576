// Layout of a container file, all integers little-endian u32:
//
//   offset  size
//        0     4  magic "KHCF"
//        4     4  format version, 1
//        8     4  name length N, 1..4095
//       12     4  exchange slot flags: bit 0 present, bit 1 exportable, others 0
//       16     4  exchange slot blob length E, 0 when absent, at most 16 KiB
//       20     4  signature slot flags
//       24     4  signature slot blob length S
//       28     N  name bytes (no NUL)
//     28+N     E  exchange key blob
//   28+N+E     S  signature key blob
// 28+N+E+S    32  SHA-256 of every byte before it
//
// The sizes must add up exactly; anything else is a damaged file. The blobs are
// carried as bytes: judging their content is the keys module's business.
#include "store/container_file.h"

#include <cstring>
#include <new>

#include <openssl/crypto.h>

#include "store/digest.h"

namespace keyhold {

namespace {

constexpr unsigned char kMagic[4] = {'K', 'H', 'C', 'F'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kPresent = 1;
constexpr std::uint32_t kExportable = 2;

void PutU32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

std::uint32_t GetU32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

struct Header {
    std::uint32_t nameLength = 0;
    std::uint32_t flags[kKeySlotCount] = {};
    std::uint32_t blobLength[kKeySlotCount] = {};
};

// Checks the fixed header on its own; the caller checks the sizes against it.
bool ParseHeader(const unsigned char* data, std::size_t size, Header& h) {
    if (data == nullptr || size < kContainerHeaderSize) return false;
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0 || GetU32(data + 4) != kVersion) return false;
    h.nameLength = GetU32(data + 8);
    if (h.nameLength == 0 || h.nameLength > kMaxContainerNameLength) return false;
    for (int slot = 0; slot < kKeySlotCount; ++slot) {
        h.flags[slot] = GetU32(data + 12 + 8 * slot);
        h.blobLength[slot] = GetU32(data + 16 + 8 * slot);
        if ((h.flags[slot] & ~(kPresent | kExportable)) != 0) return false;
        const bool present = (h.flags[slot] & kPresent) != 0;
        // An absent slot is all zero; a present one has a blob.
        if (!present && (h.flags[slot] != 0 || h.blobLength[slot] != 0)) return false;
        if (present && (h.blobLength[slot] == 0 || h.blobLength[slot] > kMaxStoredBlobLength))
            return false;
    }
    return true;
}

bool NameIsValid(const unsigned char* name, std::size_t length) {
    return std::memchr(name, '\0', length) == nullptr;
}

}  // namespace

bool RecordFitsLayout(const ContainerRecord& record) {
    if (record.name.empty() || record.name.size() > kMaxContainerNameLength ||
        !NameIsValid(reinterpret_cast<const unsigned char*>(record.name.data()), record.name.size()))
        return false;
    for (const StoredKey& key : record.keys)
        if (key.present && (key.blob.empty() || key.blob.size() > kMaxStoredBlobLength)) return false;
    return true;
}

SecureBytes EncodeContainerFile(const ContainerRecord& record) {
    if (!RecordFitsLayout(record)) return {};
    std::size_t total = kContainerHeaderSize + record.name.size() + kContainerChecksumSize;
    for (const StoredKey& key : record.keys)
        if (key.present) total += key.blob.size();
    SecureBytes out(total);
    unsigned char* p = out.data();
    std::memcpy(p, kMagic, sizeof kMagic);
    PutU32(p + 4, kVersion);
    PutU32(p + 8, static_cast<std::uint32_t>(record.name.size()));
    std::size_t offset = kContainerHeaderSize;
    std::memcpy(p + offset, record.name.data(), record.name.size());
    offset += record.name.size();
    for (int slot = 0; slot < kKeySlotCount; ++slot) {
        const StoredKey& key = record.keys[slot];
        const std::uint32_t flags = key.present ? kPresent | (key.exportable ? kExportable : 0) : 0;
        const std::size_t length = key.present ? key.blob.size() : 0;
        PutU32(p + 12 + 8 * slot, flags);
        PutU32(p + 16 + 8 * slot, static_cast<std::uint32_t>(length));
        if (length != 0) std::memcpy(p + offset, key.blob.data(), length);
        offset += length;
    }
    unsigned char digest[kSha256Size];
    if (!Sha256(p, offset, digest)) return {};
    std::memcpy(p + offset, digest, kSha256Size);
    return out;
}

DWORD DecodeContainerFile(const unsigned char* data, std::size_t size, ContainerRecord& out) {
    Header h;
    if (!ParseHeader(data, size, h)) return NTE_KEYSET_ENTRY_BAD;
    // Every length is bounded, so this sum cannot overflow.
    const std::size_t body = kContainerHeaderSize + h.nameLength + h.blobLength[0] + h.blobLength[1];
    if (size != body + kContainerChecksumSize) return NTE_KEYSET_ENTRY_BAD;
    unsigned char digest[kSha256Size];
    if (!Sha256(data, body, digest) || CRYPTO_memcmp(digest, data + body, kSha256Size) != 0)
        return NTE_KEYSET_ENTRY_BAD;
    const unsigned char* name = data + kContainerHeaderSize;
    if (!NameIsValid(name, h.nameLength)) return NTE_KEYSET_ENTRY_BAD;

    ContainerRecord record;
    record.name.assign(reinterpret_cast<const char*>(name), h.nameLength);
    std::size_t offset = kContainerHeaderSize + h.nameLength;
    for (int slot = 0; slot < kKeySlotCount; ++slot) {
        StoredKey& key = record.keys[slot];
        key.present = (h.flags[slot] & kPresent) != 0;
        key.exportable = (h.flags[slot] & kExportable) != 0;
        key.blob.assign(data + offset, data + offset + h.blobLength[slot]);
        offset += h.blobLength[slot];
    }
    out = std::move(record);
    return ERROR_SUCCESS;
}

DWORD DecodeContainerName(const unsigned char* data, std::size_t size, std::string& name) {
    Header h;
    if (!ParseHeader(data, size, h)) return NTE_KEYSET_ENTRY_BAD;
    if (size < kContainerHeaderSize + h.nameLength) return NTE_KEYSET_ENTRY_BAD;
    const unsigned char* bytes = data + kContainerHeaderSize;
    if (!NameIsValid(bytes, h.nameLength)) return NTE_KEYSET_ENTRY_BAD;
    name.assign(reinterpret_cast<const char*>(bytes), h.nameLength);
    return ERROR_SUCCESS;
}

std::string ContainerFileName(std::string_view name) {
    static const char kHex[] = "0123456789abcdef";
    unsigned char digest[kSha256Size] = {};
    // Without its digest a name has no file name, and a made-up one could be
    // another container's. The digest fails only when OpenSSL cannot get the
    // memory it needs; the published functions report that as such.
    if (!Sha256(name.data(), name.size(), digest)) throw std::bad_alloc();
    std::string out(2 * kSha256Size, '0');
    for (std::size_t i = 0; i < kSha256Size; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0xF];
    }
    return out;
}

}  // namespace keyhold
