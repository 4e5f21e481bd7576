// The key blob decoder on arbitrary bytes. Besides surviving every input, a
// blob it accepts must come back unchanged from the canonical encoder (the two
// reserved header bytes aside, which the decoder ignores), so the judge and the
// encoder can never disagree about what a stored key is.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/err.h>

#include "keys/blob_codec.h"

namespace {

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

bool IsKnownReason(DWORD r) {
    return r == static_cast<DWORD>(ERROR_INVALID_PARAMETER) || r == static_cast<DWORD>(NTE_BAD_TYPE) ||
           r == static_cast<DWORD>(NTE_BAD_VER) || r == static_cast<DWORD>(NTE_BAD_ALGID) ||
           r == static_cast<DWORD>(NTE_BAD_DATA);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    keyhold::DecodedBlob decoded;
    const DWORD result = keyhold::DecodeKeyBlob(data, size, decoded);
    if (ERR_peek_error() != 0) Finding("the decoder left an error on OpenSSL's queue");
    if (result != ERROR_SUCCESS) {
        if (!IsKnownReason(result)) Finding("a refusal with an undocumented reason");
        if (decoded.key) Finding("a refused blob still handed out a key");
        return 0;
    }
    if (!decoded.key) Finding("an accepted blob without a key");
    if (decoded.isPrivate != (data[0] == PRIVATEKEYBLOB)) Finding("the blob kind differs from its header");
    if (size != keyhold::RsaBlobLength(data[0], decoded.bitLength)) Finding("the bit length does not fit the size");

    keyhold::SecureBytes again;
    const DWORD encoded = decoded.isPrivate
                              ? keyhold::EncodePrivateKeyBlob(decoded.key.get(), decoded.algorithm, again)
                              : keyhold::EncodePublicKeyBlob(decoded.key.get(), decoded.algorithm, again);
    if (encoded != ERROR_SUCCESS) Finding("an accepted blob cannot be encoded again");
    if (again.size() != size) Finding("re-encoding changed the length");
    if (std::memcmp(again.data(), data, 2) != 0 || std::memcmp(again.data() + 4, data + 4, size - 4) != 0)
        Finding("re-encoding changed the bytes");

    // The public half of an accepted pair is a blob the decoder accepts too.
    if (decoded.isPrivate) {
        keyhold::SecureBytes pub;
        keyhold::DecodedBlob back;
        if (keyhold::EncodePublicKeyBlob(decoded.key.get(), decoded.algorithm, pub) != ERROR_SUCCESS ||
            keyhold::DecodeKeyBlob(pub.data(), pub.size(), back) != ERROR_SUCCESS || back.isPrivate ||
            back.bitLength != decoded.bitLength)
            Finding("the public half of an accepted pair is refused");
    }
    return 0;
}
