#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "store/container_file.h"

using namespace keyhold;

namespace {

SecureBytes Bytes(const std::string& text) { return SecureBytes(text.begin(), text.end()); }

ContainerRecord SampleRecord() {
    ContainerRecord record;
    record.name = "Sample";
    record.keys[kExchangeSlot].present = true;
    record.keys[kExchangeSlot].exportable = true;
    record.keys[kExchangeSlot].blob = Bytes("exchange-blob");
    record.keys[kSignatureSlot].present = true;
    record.keys[kSignatureSlot].blob = Bytes("sig");
    return record;
}

void PutU32(SecureBytes& file, std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) file[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

// A fresh checksum over everything before the last 32 bytes.
void Reseal(SecureBytes& file) {
    unsigned int length = 0;
    ASSERT_EQ(EVP_Digest(file.data(), file.size() - 32, file.data() + file.size() - 32, &length, EVP_sha256(),
                         nullptr),
              1);
}

}  // namespace

TEST(ContainerFile, RoundTripKeepsNameKeysAndFlags) {
    const ContainerRecord record = SampleRecord();
    const SecureBytes file = EncodeContainerFile(record);
    ASSERT_EQ(file.size(), kContainerHeaderSize + 6 + 13 + 3 + kContainerChecksumSize);
    EXPECT_EQ(std::memcmp(file.data(), "KHCF", 4), 0);

    ContainerRecord back;
    ASSERT_EQ(DecodeContainerFile(file.data(), file.size(), back), ERROR_SUCCESS);
    EXPECT_EQ(back.name, "Sample");
    EXPECT_TRUE(back.keys[kExchangeSlot].present);
    EXPECT_TRUE(back.keys[kExchangeSlot].exportable);
    EXPECT_EQ(back.keys[kExchangeSlot].blob, Bytes("exchange-blob"));
    EXPECT_TRUE(back.keys[kSignatureSlot].present);
    EXPECT_FALSE(back.keys[kSignatureSlot].exportable);
    EXPECT_EQ(back.keys[kSignatureSlot].blob, Bytes("sig"));

    std::string name;
    ASSERT_EQ(DecodeContainerName(file.data(), kContainerHeaderSize + 6, name), ERROR_SUCCESS);
    EXPECT_EQ(name, "Sample");
}

TEST(ContainerFile, EmptyContainerAndLimitsRoundTrip) {
    ContainerRecord record;
    record.name = std::string(kMaxContainerNameLength, '\xff');
    record.keys[kSignatureSlot].present = true;
    record.keys[kSignatureSlot].blob.assign(kMaxStoredBlobLength, 0x5a);
    const SecureBytes file = EncodeContainerFile(record);
    ASSERT_EQ(file.size(), kMaxContainerFileSize - kMaxStoredBlobLength);
    ContainerRecord back;
    ASSERT_EQ(DecodeContainerFile(file.data(), file.size(), back), ERROR_SUCCESS);
    EXPECT_EQ(back.name, record.name);
    EXPECT_FALSE(back.keys[kExchangeSlot].present);
    EXPECT_EQ(back.keys[kSignatureSlot].blob.size(), kMaxStoredBlobLength);
}

TEST(ContainerFile, RecordsThatDoNotFitAreNotEncoded) {
    ContainerRecord record = SampleRecord();
    record.name.clear();
    EXPECT_TRUE(EncodeContainerFile(record).empty());
    record.name = std::string(kMaxContainerNameLength + 1, 'a');
    EXPECT_TRUE(EncodeContainerFile(record).empty());
    record.name = std::string("a\0b", 3);
    EXPECT_TRUE(EncodeContainerFile(record).empty());
    record = SampleRecord();
    record.keys[kExchangeSlot].blob.assign(kMaxStoredBlobLength + 1, 1);
    EXPECT_TRUE(EncodeContainerFile(record).empty());
    record.keys[kExchangeSlot].blob.clear();
    EXPECT_TRUE(EncodeContainerFile(record).empty());
}

TEST(ContainerFile, EveryFlippedByteIsDetected) {
    const SecureBytes file = EncodeContainerFile(SampleRecord());
    for (std::size_t i = 0; i < file.size(); ++i) {
        for (unsigned char mask : {0x01, 0x80, 0xff}) {
            SecureBytes bad = file;
            bad[i] ^= mask;
            ContainerRecord out;
            out.name = "untouched";
            ASSERT_EQ(DecodeContainerFile(bad.data(), bad.size(), out), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD))
                << "byte " << i << " mask " << int(mask);
            ASSERT_EQ(out.name, "untouched") << "a failed decode must leave the record alone";
        }
    }
}

TEST(ContainerFile, EveryTruncationAndExtensionIsDetected) {
    const SecureBytes file = EncodeContainerFile(SampleRecord());
    for (std::size_t length = 0; length < file.size(); ++length) {
        // A copy of exactly `length` bytes, so a read past it is caught by the sanitizers.
        SecureBytes cut(file.begin(), file.begin() + length);
        ContainerRecord out;
        ASSERT_EQ(DecodeContainerFile(cut.empty() ? nullptr : cut.data(), cut.size(), out),
                  static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD))
            << "length " << length;
    }
    SecureBytes longer = file;
    longer.push_back(0);
    ContainerRecord out;
    EXPECT_EQ(DecodeContainerFile(longer.data(), longer.size(), out), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD));
}

// Malformed headers with a correct checksum: the structure checks must catch
// them on their own, not only the checksum.
TEST(ContainerFile, StructuralFaultsAreRefusedEvenWithAValidChecksum) {
    ContainerRecord record;
    record.name = "ab";
    record.keys[kExchangeSlot].present = true;
    record.keys[kExchangeSlot].blob = Bytes("xy");
    const SecureBytes good = EncodeContainerFile(record);
    {
        SecureBytes resealed = good;
        Reseal(resealed);
        ContainerRecord out;
        ASSERT_EQ(DecodeContainerFile(resealed.data(), resealed.size(), out), ERROR_SUCCESS);
    }

    struct Case {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
    } cases[] = {
        {"version 2", 4, 2},
        {"name length 0", 8, 0},
        {"name length 4096", 8, 4096},
        {"reserved flag bit", 12, 1 | 4},
        {"exportable but absent", 20, 2},
        {"absent with a length", 24, 1},
        {"present without a blob", 20, 1},
        {"blob over 16 KiB", 16, 16 * 1024 + 1},
    };
    for (const Case& c : cases) {
        SecureBytes bad = good;
        PutU32(bad, c.offset, c.value);
        Reseal(bad);
        std::string name;
        ContainerRecord out;
        EXPECT_EQ(DecodeContainerFile(bad.data(), bad.size(), out), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD))
            << c.what;
        if (c.offset != 16 && c.offset != 24) {
            EXPECT_EQ(DecodeContainerName(bad.data(), bad.size(), name), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD))
                << c.what;
        }
    }
}

TEST(ContainerFile, NamePrefixMustHoldTheWholeName) {
    ContainerRecord record;
    record.name = "abcdef";
    const SecureBytes file = EncodeContainerFile(record);
    std::string name = "untouched";
    for (std::size_t length = 0; length < kContainerHeaderSize + 6; ++length)
        EXPECT_EQ(DecodeContainerName(file.data(), length, name), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD));
    EXPECT_EQ(name, "untouched");
    SecureBytes withNul = file;
    withNul[kContainerHeaderSize + 2] = 0;
    EXPECT_EQ(DecodeContainerName(withNul.data(), withNul.size(), name), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD));
    ContainerRecord out;
    EXPECT_EQ(DecodeContainerFile(withNul.data(), withNul.size(), out), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD));
}

TEST(ContainerFile, FileNameIsLowerHexSha256OfTheNameBytes) {
    EXPECT_EQ(ContainerFileName("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(ContainerFileName(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_NE(ContainerFileName("../x"), ContainerFileName("..\\x"));
}

// Random damage, as a fuzzer would make it: several bytes changed, the length
// changed, or random bytes behind a valid header. The decoders must refuse
// every changed file and never read outside the buffer (run with sanitizers).
TEST(ContainerFile, RandomDamageIsAlwaysRefused) {
    const SecureBytes good = EncodeContainerFile(SampleRecord());
    std::uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    for (int round = 0; round < 20000; ++round) {
        SecureBytes bad = good;
        const int edits = 1 + next() % 4;
        for (int e = 0; e < edits; ++e) bad[next() % bad.size()] = static_cast<unsigned char>(next());
        if (next() % 4 == 0) bad.resize(next() % (good.size() + 64), static_cast<unsigned char>(next()));
        if (bad == good) continue;
        ContainerRecord out;
        ASSERT_EQ(DecodeContainerFile(bad.empty() ? nullptr : bad.data(), bad.size(), out),
                  static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD))
            << "round " << round;
        std::string name;
        if (DecodeContainerName(bad.empty() ? nullptr : bad.data(), bad.size(), name) == ERROR_SUCCESS) {
            EXPECT_GE(bad.size(), kContainerHeaderSize + name.size());
            EXPECT_EQ(name.find('\0'), std::string::npos);
        }
    }
}
