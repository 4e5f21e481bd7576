#include "keys/blob_codec.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "keys/rsa_consistency.h"
#include "keys/rsa_numbers.h"

namespace keyhold {
namespace {

DWORD ReadDword(const unsigned char* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

void WriteDword(unsigned char* p, DWORD value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

constexpr std::size_t kAlgOffset = 4;
constexpr std::size_t kMagicOffset = kBlobHeaderSize;
constexpr std::size_t kBitlenOffset = kBlobHeaderSize + 4;
constexpr std::size_t kPubexpOffset = kBlobHeaderSize + 8;
constexpr std::size_t kModulusOffset = kBlobHeaderSize + kRsaPubKeySize;

// OpenSSL's private blob writer dereferences every number of the pair without
// checking it, so a public-only key must not reach it.
bool HasPairNumbers(const EVP_PKEY* key) {
    RsaNumbers numbers;
    if (!ReadRsaNumbers(key, numbers)) return false;
    for (const RsaNumber which : {kRsaD, kRsaP, kRsaQ, kRsaDp, kRsaDq, kRsaQinv})
        if (numbers.get(which) == nullptr) return false;
    return true;
}

DWORD Encode(const EVP_PKEY* key, ALG_ID algorithm, bool privateBlob, SecureBytes& out) {
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return NTE_FAIL;
    if (algorithm != CALG_RSA_KEYX && algorithm != CALG_RSA_SIGN) return NTE_FAIL;
    if (privateBlob && !HasPairNumbers(key)) return NTE_BAD_KEY_STATE;
    // A private blob passes through a secure memory BIO, which is wiped when freed.
    BioPtr bio(BIO_new(privateBlob ? BIO_s_secmem() : BIO_s_mem()));
    if (!bio) return NTE_NO_MEMORY;
    const int written = privateBlob ? i2b_PrivateKey_bio(bio.get(), key) : i2b_PublicKey_bio(bio.get(), key);
    if (written <= 0) {
        ERR_clear_error();
        return NTE_FAIL;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    if (size < static_cast<long>(kModulusOffset) || data == nullptr) return NTE_FAIL;

    SecureBytes blob(data, data + size);
    WriteDword(blob.data() + kAlgOffset, algorithm);
    // OpenSSL writes the exact modulus length; the layout is the same for the
    // nominal length rounded up to a whole byte, which is what we accept back.
    const DWORD bitlen = ReadDword(blob.data() + kBitlenOffset);
    const DWORD nominal = (bitlen + 7) / 8 * 8;
    if (RsaBlobLength(blob[0], nominal) != blob.size()) return NTE_FAIL;
    WriteDword(blob.data() + kBitlenOffset, nominal);
    out.swap(blob);
    return ERROR_SUCCESS;
}

}  // namespace

std::size_t RsaBlobLength(BYTE type, DWORD bitlen) {
    const std::size_t full = (static_cast<std::size_t>(bitlen) + 7) / 8;
    const std::size_t half = (static_cast<std::size_t>(bitlen) + 15) / 16;
    std::size_t length = kModulusOffset + full;
    if (type == PRIVATEKEYBLOB) length += 5 * half + full;
    return length;
}

DWORD DecodeKeyBlob(const unsigned char* data, std::size_t size, DecodedBlob& out) {
    if (size == 0) return ERROR_INVALID_PARAMETER;
    if (data == nullptr || size < kBlobHeaderSize) return NTE_BAD_DATA;
    const BYTE type = data[0];
    if (type != PUBLICKEYBLOB && type != PRIVATEKEYBLOB) return NTE_BAD_TYPE;
    if (data[1] != CUR_BLOB_VERSION) return NTE_BAD_VER;
    const ALG_ID algorithm = ReadDword(data + kAlgOffset);
    if (algorithm != CALG_RSA_KEYX && algorithm != CALG_RSA_SIGN) return NTE_BAD_ALGID;

    if (size < kModulusOffset) return NTE_BAD_DATA;
    const bool isPrivate = type == PRIVATEKEYBLOB;
    if (ReadDword(data + kMagicOffset) != (isPrivate ? kRsa2Magic : kRsa1Magic)) return NTE_BAD_DATA;
    const DWORD bitlen = ReadDword(data + kBitlenOffset);
    if (bitlen % 8 != 0 || bitlen < kMinBlobBits || bitlen > kMaxBlobBits) return NTE_BAD_DATA;
    if (size != RsaBlobLength(type, bitlen)) return NTE_BAD_DATA;
    const DWORD pubexp = ReadDword(data + kPubexpOffset);
    if (pubexp <= 1 || pubexp % 2 == 0) return NTE_BAD_DATA;
    // Little-endian: the modulus's most significant byte is the last of its field.
    if (data[kModulusOffset + bitlen / 8 - 1] == 0) return NTE_BAD_DATA;

    const unsigned char* cursor = data;
    EvpPkeyPtr key(isPrivate ? b2i_PrivateKey(&cursor, static_cast<long>(size))
                             : b2i_PublicKey(&cursor, static_cast<long>(size)));
    // A refusal leaves nothing on OpenSSL's error queue for later callers to misread.
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA ||
        (isPrivate && !RsaPairIsConsistent(key.get()))) {
        ERR_clear_error();
        return NTE_BAD_DATA;
    }

    out.key = std::move(key);
    out.algorithm = algorithm;
    out.isPrivate = isPrivate;
    out.bitLength = bitlen;
    return ERROR_SUCCESS;
}

DWORD EncodePublicKeyBlob(const EVP_PKEY* key, ALG_ID algorithm, SecureBytes& out) {
    return Encode(key, algorithm, false, out);
}

DWORD EncodePrivateKeyBlob(const EVP_PKEY* key, ALG_ID algorithm, SecureBytes& out) {
    return Encode(key, algorithm, true, out);
}

}  // namespace keyhold
