// Key blobs in the published CryptoAPI layouts (PUBLICKEYBLOB, PRIVATEKEYBLOB):
// a strict judge of incoming blobs and the canonical encoder of outgoing ones.
// OpenSSL's own codec moves the numbers; this module decides what is acceptable.
#ifndef KEYHOLD_KEYS_BLOB_CODEC_H
#define KEYHOLD_KEYS_BLOB_CODEC_H

#include <cstddef>

#include <wincrypt.h>

#include "core/secure_bytes.h"
#include "keys/openssl_ptr.h"

namespace keyhold {

// Sizes of the fixed parts: BLOBHEADER, then RSAPUBKEY.
constexpr std::size_t kBlobHeaderSize = 8;
constexpr std::size_t kRsaPubKeySize = 12;
constexpr DWORD kRsa1Magic = 0x31415352;  // "RSA1", public key
constexpr DWORD kRsa2Magic = 0x32415352;  // "RSA2", key pair
constexpr DWORD kMinBlobBits = 384;
constexpr DWORD kMaxBlobBits = 16384;

// The exact length of a blob of `type` whose RSAPUBKEY says `bitlen`. The half
// length numbers of a private blob are rounded up, as OpenSSL lays them out.
std::size_t RsaBlobLength(BYTE type, DWORD bitlen);

struct DecodedBlob {
    EvpPkeyPtr key;
    ALG_ID algorithm = 0;    // CALG_RSA_KEYX or CALG_RSA_SIGN, from the header
    bool isPrivate = false;  // PRIVATEKEYBLOB
    DWORD bitLength = 0;     // the RSAPUBKEY bit length
};

// Judges the whole blob and returns ERROR_SUCCESS with the key, or the reason:
// ERROR_INVALID_PARAMETER (empty), NTE_BAD_TYPE, NTE_BAD_VER, NTE_BAD_ALGID,
// NTE_BAD_DATA (anything else about the layout or the numbers).
DWORD DecodeKeyBlob(const unsigned char* data, std::size_t size, DecodedBlob& out);

// The canonical blob of `key` with `algorithm` in its header. The bit length
// field is the modulus length rounded up to a multiple of 8, which is the
// nominal length the decoder accepts, so decoding and re-encoding a blob gives
// back the same bytes. NTE_BAD_KEY_STATE for a private blob of a key without
// its private numbers; NTE_FAIL when OpenSSL cannot write the key.
DWORD EncodePublicKeyBlob(const EVP_PKEY* key, ALG_ID algorithm, SecureBytes& out);
DWORD EncodePrivateKeyBlob(const EVP_PKEY* key, ALG_ID algorithm, SecureBytes& out);

}  // namespace keyhold

#endif
