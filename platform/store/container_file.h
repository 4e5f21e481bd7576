// The container file: a versioned header, the container's name, up to two keys
// and a checksum over all of it. Pure encoding and decoding, no I/O.
#ifndef KEYHOLD_STORE_CONTAINER_FILE_H
#define KEYHOLD_STORE_CONTAINER_FILE_H

#include <cstddef>
#include <string>
#include <string_view>

#include <wincrypt.h>

#include "core/secure_bytes.h"

namespace keyhold {

enum KeySlot { kExchangeSlot = 0, kSignatureSlot = 1, kKeySlotCount = 2 };

// Limits of the file layout (see container_file.cpp).
constexpr std::size_t kMaxContainerNameLength = 4095;
constexpr std::size_t kMaxStoredBlobLength = 16 * 1024;
constexpr std::size_t kContainerHeaderSize = 28;
constexpr std::size_t kContainerChecksumSize = 32;
constexpr std::size_t kMinContainerFileSize = kContainerHeaderSize + 1 + kContainerChecksumSize;
constexpr std::size_t kMaxContainerFileSize = kContainerHeaderSize + kMaxContainerNameLength +
                                              kKeySlotCount * kMaxStoredBlobLength +
                                              kContainerChecksumSize;

struct StoredKey {
    bool present = false;
    bool exportable = false;
    // The key as the key store exports it: a PRIVATEKEYBLOB for a key pair, a
    // PUBLICKEYBLOB for a public-only key.
    SecureBytes blob;
};

struct ContainerRecord {
    std::string name;
    StoredKey keys[kKeySlotCount];
};

// True when the record can be stored: a valid name (1..4095 bytes, no NUL) and
// every present key with a blob of 1..16 KiB.
bool RecordFitsLayout(const ContainerRecord& record);

// The file bytes of a record that fits the layout; empty when it does not or
// the digest cannot be computed.
SecureBytes EncodeContainerFile(const ContainerRecord& record);

// ERROR_SUCCESS, or NTE_KEYSET_ENTRY_BAD for a file of another version, a bad
// checksum, a truncated or otherwise malformed file.
DWORD DecodeContainerFile(const unsigned char* data, std::size_t size, ContainerRecord& out);

// Reads only the header and the name, for listings; `size` may be a prefix of
// the file. NTE_KEYSET_ENTRY_BAD when the prefix holds no well-formed name.
DWORD DecodeContainerName(const unsigned char* data, std::size_t size, std::string& name);

// The file name of a container: the lower-case hex SHA-256 of the name's bytes.
// Throws std::bad_alloc when the digest cannot be computed.
std::string ContainerFileName(std::string_view name);

}  // namespace keyhold

#endif
