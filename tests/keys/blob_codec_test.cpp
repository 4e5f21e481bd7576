// The key blob codec: exact bytes of the encoder against hand-laid blobs, and
// every refusal of the decoder with its code.
#include <gtest/gtest.h>

#include "blob_builder.h"
#include "keys/blob_codec.h"

using namespace keyhold;
using namespace keyhold_test;

namespace {

DWORD Decode(const Bytes& blob, DecodedBlob* out = nullptr) {
    DecodedBlob scratch;
    return DecodeKeyBlob(blob.data(), blob.size(), out ? *out : scratch);
}

Bytes ToBytes(const SecureBytes& s) { return Bytes(s.begin(), s.end()); }

// Offsets of the numbers in a private blob of `bitlen` bits.
struct Layout {
    size_t full, half;
    explicit Layout(uint32_t bitlen) : full((bitlen + 7) / 8), half((bitlen + 15) / 16) {}
    size_t n() const { return 20; }
    size_t p() const { return 20 + full; }
    size_t q() const { return p() + half; }
    size_t dp() const { return q() + half; }
    size_t dq() const { return dp() + half; }
    size_t qinv() const { return dq() + half; }
    size_t d() const { return qinv() + half; }
};

class BlobCodec : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        key512_ = GenerateTestKey(512).release();
        key520_ = GenerateTestKey(520).release();
    }
    static void TearDownTestSuite() {
        EVP_PKEY_free(key512_);
        EVP_PKEY_free(key520_);
    }
    static EVP_PKEY* key512_;
    static EVP_PKEY* key520_;
};
EVP_PKEY* BlobCodec::key512_ = nullptr;
EVP_PKEY* BlobCodec::key520_ = nullptr;

TEST_F(BlobCodec, EncoderWritesThePublishedLayoutExactly) {
    for (EVP_PKEY* key : {key512_, key520_}) {
        const uint32_t bits = static_cast<uint32_t>(EVP_PKEY_get_bits(key));
        const RsaNumbers numbers = NumbersOf(key);
        for (ALG_ID alg : {ALG_ID(CALG_RSA_KEYX), ALG_ID(CALG_RSA_SIGN)}) {
            SecureBytes priv, pub;
            ASSERT_EQ(EncodePrivateKeyBlob(key, alg, priv), ERROR_SUCCESS);
            ASSERT_EQ(EncodePublicKeyBlob(key, alg, pub), ERROR_SUCCESS);
            EXPECT_EQ(ToBytes(priv), HandBlob(PRIVATEKEYBLOB, alg, bits, numbers)) << bits << " " << alg;
            EXPECT_EQ(ToBytes(pub), HandBlob(PUBLICKEYBLOB, alg, bits, numbers)) << bits << " " << alg;
            EXPECT_EQ(priv.size(), RsaBlobLength(PRIVATEKEYBLOB, bits));
            EXPECT_EQ(pub.size(), RsaBlobLength(PUBLICKEYBLOB, bits));
        }
    }
    // 512 bits: 8 + 12 + 64, and the private part 5 * 32 + 64 more.
    EXPECT_EQ(RsaBlobLength(PUBLICKEYBLOB, 512), 84u);
    EXPECT_EQ(RsaBlobLength(PRIVATEKEYBLOB, 512), 308u);
    // An odd number of bytes: the half-width numbers round up (520 bits: 33 bytes).
    EXPECT_EQ(RsaBlobLength(PRIVATEKEYBLOB, 520), 20u + 65 + 5 * 33 + 65);
}

TEST_F(BlobCodec, DecodesHandBuiltBlobsAndReencodesThemIdentically) {
    const RsaNumbers numbers = NumbersOf(key512_);
    for (ALG_ID alg : {ALG_ID(CALG_RSA_KEYX), ALG_ID(CALG_RSA_SIGN)}) {
        for (BYTE type : {BYTE(PUBLICKEYBLOB), BYTE(PRIVATEKEYBLOB)}) {
            const Bytes blob = HandBlob(type, alg, 512, numbers);
            DecodedBlob decoded;
            ASSERT_EQ(Decode(blob, &decoded), ERROR_SUCCESS);
            EXPECT_EQ(decoded.algorithm, alg);
            EXPECT_EQ(decoded.isPrivate, type == PRIVATEKEYBLOB);
            EXPECT_EQ(decoded.bitLength, 512u);
            EXPECT_EQ(EVP_PKEY_eq(decoded.key.get(), key512_), 1);
            SecureBytes again;
            if (type == PRIVATEKEYBLOB) {
                ASSERT_EQ(EncodePrivateKeyBlob(decoded.key.get(), alg, again), ERROR_SUCCESS);
            } else {
                ASSERT_EQ(EncodePublicKeyBlob(decoded.key.get(), alg, again), ERROR_SUCCESS);
                // A public blob carries no private numbers to export.
                SecureBytes none;
                EXPECT_NE(EncodePrivateKeyBlob(decoded.key.get(), alg, none), ERROR_SUCCESS);
            }
            EXPECT_EQ(ToBytes(again), blob);
        }
    }
}

TEST_F(BlobCodec, ModulusShorterThanTheNominalLengthKeepsTheNominalLength) {
    // Two 253-bit primes give a modulus of at most 506 bits: still 64 bytes,
    // so a blob may call it 512 bits, and re-encoding must keep that.
    BignumPtr p = RandomPrime(253), q = RandomPrime(253);
    EvpPkeyPtr key = KeyFromPrimes(p.get(), q.get(), 65537);
    ASSERT_LT(EVP_PKEY_get_bits(key.get()), 512 - 4);
    ASSERT_GT(EVP_PKEY_get_bits(key.get()), 504);
    const Bytes blob = HandBlob(PRIVATEKEYBLOB, CALG_RSA_KEYX, 512, NumbersOf(key.get()));
    DecodedBlob decoded;
    ASSERT_EQ(Decode(blob, &decoded), ERROR_SUCCESS);
    SecureBytes again;
    ASSERT_EQ(EncodePrivateKeyBlob(decoded.key.get(), CALG_RSA_KEYX, again), ERROR_SUCCESS);
    EXPECT_EQ(ToBytes(again), blob);
    SecureBytes pub;
    ASSERT_EQ(EncodePrivateKeyBlob(key.get(), CALG_RSA_KEYX, pub), ERROR_SUCCESS);
    EXPECT_EQ(ToBytes(pub), blob);
}

TEST_F(BlobCodec, BitLengthBounds) {
    // The smallest accepted length, from two 192-bit primes (below OpenSSL's
    // own key generation minimum), and one step below it.
    BignumPtr n384;
    for (;;) {
        BignumPtr p = RandomPrime(192), q = RandomPrime(192);
        EvpPkeyPtr key = KeyFromPrimes(p.get(), q.get(), 65537);
        if (EVP_PKEY_get_bits(key.get()) > 376) {
            RsaNumbers numbers = NumbersOf(key.get());
            EXPECT_EQ(Decode(HandBlob(PRIVATEKEYBLOB, CALG_RSA_KEYX, 384, numbers)), ERROR_SUCCESS);
            EXPECT_EQ(Decode(HandBlob(PUBLICKEYBLOB, CALG_RSA_KEYX, 384, numbers)), ERROR_SUCCESS);
            break;
        }
    }
    // Public blobs of random odd moduli with the top bit set: 376 and 16392 are
    // refused, 16384 accepted, though each is laid out to its exact length.
    for (uint32_t bits : {376u, 16384u, 16392u}) {
        RsaNumbers numbers;
        numbers.n.reset(BN_new());
        numbers.e.reset(BN_new());
        BN_rand(numbers.n.get(), static_cast<int>(bits), BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD);
        BN_set_word(numbers.e.get(), 65537);
        const Bytes blob = HandBlob(PUBLICKEYBLOB, CALG_RSA_KEYX, bits, numbers);
        EXPECT_EQ(Decode(blob), bits == 16384u ? DWORD(ERROR_SUCCESS) : DWORD(NTE_BAD_DATA)) << bits;
    }
    // Not a multiple of 8: 511 fits the 512 layout byte for byte, yet is refused.
    Bytes blob = HandBlob(PUBLICKEYBLOB, CALG_RSA_KEYX, 512, NumbersOf(key512_));
    SetDword(blob, 12, 511);
    ASSERT_EQ(blob.size(), RsaBlobLength(PUBLICKEYBLOB, 511));
    EXPECT_EQ(Decode(blob), DWORD(NTE_BAD_DATA));
}

TEST_F(BlobCodec, EmptyAndTruncatedBlobs) {
    DecodedBlob out;
    EXPECT_EQ(DecodeKeyBlob(nullptr, 0, out), DWORD(ERROR_INVALID_PARAMETER));
    const unsigned char one = 7;
    EXPECT_EQ(DecodeKeyBlob(&one, 0, out), DWORD(ERROR_INVALID_PARAMETER));
    for (BYTE type : {BYTE(PUBLICKEYBLOB), BYTE(PRIVATEKEYBLOB)}) {
        const Bytes blob = HandBlob(type, CALG_RSA_KEYX, 512, NumbersOf(key512_));
        for (size_t len = 1; len < blob.size(); ++len) {
            const Bytes cut(blob.begin(), blob.begin() + static_cast<long>(len));
            EXPECT_EQ(Decode(cut), DWORD(NTE_BAD_DATA)) << "type " << int(type) << " length " << len;
        }
        Bytes longer = blob;
        longer.push_back(0);
        EXPECT_EQ(Decode(longer), DWORD(NTE_BAD_DATA));
        EXPECT_EQ(Decode(blob), DWORD(ERROR_SUCCESS));
    }
}

TEST_F(BlobCodec, HeaderFieldsAreJudgedInOrder) {
    const Bytes good = HandBlob(PRIVATEKEYBLOB, CALG_RSA_KEYX, 512, NumbersOf(key512_));
    for (BYTE type : {0, 1, 5, 8, 9, 0x0C, 0xFF}) {
        Bytes b = good;
        b[0] = type;
        EXPECT_EQ(Decode(b), DWORD(NTE_BAD_TYPE)) << int(type);
        b[1] = 3;  // a bad version as well: the type is reported first
        EXPECT_EQ(Decode(b), DWORD(NTE_BAD_TYPE)) << int(type);
        // Even a bare header is judged by its type before its missing rest.
        EXPECT_EQ(Decode(Bytes(b.begin(), b.begin() + 8)), DWORD(NTE_BAD_TYPE));
    }
    for (BYTE version : {0, 1, 3, 0x82}) {
        Bytes b = good;
        b[1] = version;
        EXPECT_EQ(Decode(b), DWORD(NTE_BAD_VER)) << int(version);
        SetDword(b, 4, 0x6610);  // and a bad algorithm: the version comes first
        EXPECT_EQ(Decode(b), DWORD(NTE_BAD_VER));
    }
    for (uint32_t alg : {0u, 0x6610u, 0xA401u, 0x2401u, 0x2200u, 0x0000A400u | 0x10000u}) {
        Bytes b = good;
        SetDword(b, 4, alg);
        EXPECT_EQ(Decode(b), DWORD(NTE_BAD_ALGID)) << std::hex << alg;
        EXPECT_EQ(Decode(Bytes(b.begin(), b.begin() + 8)), DWORD(NTE_BAD_ALGID));
    }
    // A good header with nothing after it lacks the RSAPUBKEY.
    EXPECT_EQ(Decode(Bytes(good.begin(), good.begin() + 8)), DWORD(NTE_BAD_DATA));
    // The reserved field is not judged.
    Bytes reserved = good;
    reserved[2] = 0x12;
    EXPECT_EQ(Decode(reserved), DWORD(ERROR_SUCCESS));
}

TEST_F(BlobCodec, MagicMustMatchTheType) {
    const RsaNumbers numbers = NumbersOf(key512_);
    EXPECT_EQ(Decode(HandBlob(PRIVATEKEYBLOB, CALG_RSA_KEYX, 512, numbers, 0x31415352)), DWORD(NTE_BAD_DATA));
    EXPECT_EQ(Decode(HandBlob(PUBLICKEYBLOB, CALG_RSA_KEYX, 512, numbers, 0x32415352)), DWORD(NTE_BAD_DATA));
    EXPECT_EQ(Decode(HandBlob(PUBLICKEYBLOB, CALG_RSA_KEYX, 512, numbers, 0x31535344)), DWORD(NTE_BAD_DATA));
    // A public layout with a private type byte: the length no longer fits either.
    Bytes pub = HandBlob(PUBLICKEYBLOB, CALG_RSA_KEYX, 512, numbers);
    pub[0] = PRIVATEKEYBLOB;
    EXPECT_EQ(Decode(pub), DWORD(NTE_BAD_DATA));
}

TEST_F(BlobCodec, PublicExponentMustBeOddAndAboveOne) {
    const RsaNumbers numbers = NumbersOf(key512_);
    for (uint32_t e : {0u, 1u, 2u, 65536u, 0x80000000u}) {
        for (BYTE type : {BYTE(PUBLICKEYBLOB), BYTE(PRIVATEKEYBLOB)}) {
            Bytes b = HandBlob(type, CALG_RSA_KEYX, 512, numbers);
            SetDword(b, 16, e);
            EXPECT_EQ(Decode(b), DWORD(NTE_BAD_DATA)) << e;
        }
    }
    // Any odd exponent is a valid public key; for a pair it must match d.
    Bytes pub = HandBlob(PUBLICKEYBLOB, CALG_RSA_KEYX, 512, numbers);
    SetDword(pub, 16, 3);
    EXPECT_EQ(Decode(pub), DWORD(ERROR_SUCCESS));
    Bytes priv = HandBlob(PRIVATEKEYBLOB, CALG_RSA_KEYX, 512, numbers);
    SetDword(priv, 16, 3);
    EXPECT_EQ(Decode(priv), DWORD(NTE_BAD_DATA));
}

TEST_F(BlobCodec, ModulusTopByteMustBeSet) {
    const RsaNumbers numbers = NumbersOf(key512_);
    for (BYTE type : {BYTE(PUBLICKEYBLOB), BYTE(PRIVATEKEYBLOB)}) {
        Bytes b = HandBlob(type, CALG_RSA_KEYX, 512, numbers);
        b[20 + 63] = 0;
        EXPECT_EQ(Decode(b), DWORD(NTE_BAD_DATA));
        b[20 + 63] = 1;  // only the top byte matters, not its top bit
        if (type == PUBLICKEYBLOB) {
            EXPECT_EQ(Decode(b), DWORD(ERROR_SUCCESS));
        }
    }
}

TEST_F(BlobCodec, InconsistentPairNumbersAreRefused) {
    const RsaNumbers numbers = NumbersOf(key512_);
    const Bytes good = HandBlob(PRIVATEKEYBLOB, CALG_RSA_KEYX, 512, numbers);
    const Layout at(512);
    const struct {
        const char* what;
        size_t offset;
    } fields[] = {{"modulus", at.n()}, {"prime1", at.p()},   {"prime2", at.q()},     {"exponent1", at.dp()},
                  {"exponent2", at.dq()}, {"coefficient", at.qinv()}, {"privateExponent", at.d()}};
    for (const auto& field : fields) {
        for (unsigned char mask : {0x01, 0x02, 0x80}) {
            Bytes b = good;
            b[field.offset] ^= mask;
            EXPECT_EQ(Decode(b), DWORD(NTE_BAD_DATA)) << field.what << " ^ " << int(mask);
        }
    }
    // The primes swapped: n = q*p still holds, but the CRT values belong to the other order.
    RsaNumbers swapped = NumbersOf(key512_);
    std::swap(swapped.p, swapped.q);
    EXPECT_EQ(Decode(HandBlob(PRIVATEKEYBLOB, CALG_RSA_KEYX, 512, swapped)), DWORD(NTE_BAD_DATA));
    // The coefficient plus p is still q's inverse mod p, but not the reduced value.
    RsaNumbers unreduced = NumbersOf(key512_);
    BN_add(unreduced.qinv.get(), unreduced.qinv.get(), unreduced.p.get());
    if (BN_num_bytes(unreduced.qinv.get()) <= 32) {
        EXPECT_EQ(Decode(HandBlob(PRIVATEKEYBLOB, CALG_RSA_KEYX, 512, unreduced)), DWORD(NTE_BAD_DATA));
    }
    // p = 1 and q = n: the product holds, the factors do not.
    RsaNumbers trivial = NumbersOf(key512_);
    BN_one(trivial.p.get());
    BN_zero(trivial.dp.get());
    EXPECT_EQ(Decode(HandBlob(PRIVATEKEYBLOB, CALG_RSA_KEYX, 512, trivial)), DWORD(NTE_BAD_DATA));
}

TEST_F(BlobCodec, EncoderRefusesUnknownAlgorithms) {
    SecureBytes out;
    EXPECT_NE(EncodePublicKeyBlob(key512_, 0x6610, out), ERROR_SUCCESS);
    EXPECT_NE(EncodePrivateKeyBlob(key512_, 0, out), ERROR_SUCCESS);
    EXPECT_NE(EncodePublicKeyBlob(nullptr, CALG_RSA_KEYX, out), ERROR_SUCCESS);
}

}  // namespace
