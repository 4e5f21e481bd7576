// The container file reader on arbitrary bytes: the whole-file decoder and the
// name-only reader that listings use on a prefix. A file the reader accepts
// must encode back to exactly its bytes, and the name reader must agree with
// the full reader on every prefix of it. Each input is tried as it is and once
// more with its last 32 bytes set to the right checksum, so that mutations get
// past the checksum to the layout checks behind it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/container_file.h"
#include "store/digest.h"

namespace {

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

void CheckFile(const std::uint8_t* data, std::size_t size) {
    std::string name;
    const DWORD nameResult = keyhold::DecodeContainerName(data, size, name);
    if (nameResult != ERROR_SUCCESS && nameResult != static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD))
        Finding("the name reader gave an undocumented reason");
    if (nameResult == ERROR_SUCCESS &&
        (name.empty() || name.size() > keyhold::kMaxContainerNameLength || name.find('\0') != std::string::npos ||
         size < keyhold::kContainerHeaderSize + name.size() ||
         std::memcmp(data + keyhold::kContainerHeaderSize, name.data(), name.size()) != 0))
        Finding("the name reader returned a name the file does not hold");

    keyhold::ContainerRecord record;
    const DWORD result = keyhold::DecodeContainerFile(data, size, record);
    if (result != ERROR_SUCCESS) {
        if (result != static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD)) Finding("the reader gave an undocumented reason");
        return;
    }
    if (size < keyhold::kMinContainerFileSize || size > keyhold::kMaxContainerFileSize)
        Finding("a file outside the layout's sizes was accepted");
    if (!keyhold::RecordFitsLayout(record)) Finding("an accepted file holds a record that does not fit the layout");
    if (nameResult != ERROR_SUCCESS || name != record.name) Finding("the two readers disagree about the name");
    for (const keyhold::StoredKey& key : record.keys)
        if (!key.present && (key.exportable || !key.blob.empty())) Finding("an absent key carries data");

    const keyhold::SecureBytes again = keyhold::EncodeContainerFile(record);
    if (again.size() != size || std::memcmp(again.data(), data, size) != 0)
        Finding("an accepted file does not encode back to its bytes");

    // Listings read a prefix: every prefix that covers the name gives the name.
    std::string prefixName;
    const std::size_t nameEnd = keyhold::kContainerHeaderSize + record.name.size();
    if (keyhold::DecodeContainerName(data, nameEnd, prefixName) != ERROR_SUCCESS || prefixName != record.name)
        Finding("the name reader refuses the shortest prefix that holds the name");
    if (keyhold::DecodeContainerName(data, nameEnd - 1, prefixName) == ERROR_SUCCESS)
        Finding("the name reader accepts a prefix that cuts the name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckFile(data, size);
    if (size < keyhold::kContainerChecksumSize) return 0;
    // A copy in a block of its own size, so that reads past the end are caught.
    std::vector<std::uint8_t> sealed(data, data + size);
    const std::size_t body = size - keyhold::kContainerChecksumSize;
    unsigned char digest[keyhold::kSha256Size];
    if (!keyhold::Sha256(sealed.data(), body, digest)) Finding("no digest");
    std::memcpy(sealed.data() + body, digest, sizeof digest);
    CheckFile(sealed.data(), sealed.size());
    return 0;
}
