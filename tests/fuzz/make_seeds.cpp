// Writes the seed corpora: valid key blobs of several lengths (public and
// private, exchange and signature), container files with zero, one and two
// keys, and typical command lines of every program. Run once; the output is
// committed under corpus/. Usage: make_seeds CORPUS_DIR
#include <cstdio>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include "keys/blob_codec.h"
#include "store/container_file.h"
#include "tool_frame.h"

namespace {

bool WriteFile(const std::string& path, const unsigned char* data, std::size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

keyhold::EvpPkeyPtr NewKey(unsigned bits, unsigned exponent) {
    keyhold::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    keyhold::BignumPtr e(BN_new());
    EVP_PKEY* key = nullptr;
    if (!ctx || !e || BN_set_word(e.get(), exponent) != 1 || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1)
        return keyhold::EvpPkeyPtr();
    return keyhold::EvpPkeyPtr(key);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
        return 2;
    }
    const std::string top = argv[1];
    for (const char* sub : {"", "/key_blob", "/container_file", "/command_line"})
        mkdir((top + sub).c_str(), 0755);

    struct Shape {
        unsigned bits, exponent;
    };
    // 520 bits: half-length fields that round up; exponent 3: a short one.
    const Shape shapes[] = {{512, 65537}, {520, 3}, {1024, 65537}, {2048, 65537}};
    keyhold::SecureBytes exchangePair, signaturePublic;
    for (const Shape& s : shapes) {
        const keyhold::EvpPkeyPtr key = NewKey(s.bits, s.exponent);
        if (!key) {
            std::fprintf(stderr, "key generation failed\n");
            return 1;
        }
        for (ALG_ID alg : {static_cast<ALG_ID>(CALG_RSA_KEYX), static_cast<ALG_ID>(CALG_RSA_SIGN)}) {
            for (bool priv : {false, true}) {
                keyhold::SecureBytes blob;
                const DWORD r = priv ? keyhold::EncodePrivateKeyBlob(key.get(), alg, blob)
                                     : keyhold::EncodePublicKeyBlob(key.get(), alg, blob);
                if (r != ERROR_SUCCESS) {
                    std::fprintf(stderr, "encoding failed: %08lx\n", static_cast<unsigned long>(r));
                    return 1;
                }
                const std::string name = top + "/key_blob/" + (priv ? "private_" : "public_") +
                                         (alg == CALG_RSA_KEYX ? "keyx_" : "sign_") + std::to_string(s.bits);
                if (!WriteFile(name, blob.data(), blob.size())) return 1;
                if (s.bits == 512 && priv && alg == CALG_RSA_KEYX) exchangePair = blob;
                if (s.bits == 520 && !priv && alg == CALG_RSA_SIGN) signaturePublic = blob;
            }
        }
    }

    struct File {
        const char* file;
        const char* name;
        bool exchange, exportable, signature;
    };
    const File files[] = {{"empty", "Empty", false, false, false},
                          {"one_key", "One key", true, true, false},
                          {"one_key_kept", "uid0", true, false, false},
                          {"two_keys", "Two keys \xe9\xb5\xb0", true, false, true},
                          {"signature_only", "S", false, false, true}};
    for (const File& f : files) {
        keyhold::ContainerRecord record;
        record.name = f.name;
        if (f.exchange) {
            record.keys[keyhold::kExchangeSlot].present = true;
            record.keys[keyhold::kExchangeSlot].exportable = f.exportable;
            record.keys[keyhold::kExchangeSlot].blob = exchangePair;
        }
        if (f.signature) {
            record.keys[keyhold::kSignatureSlot].present = true;
            record.keys[keyhold::kSignatureSlot].blob = signaturePublic;
        }
        const keyhold::SecureBytes bytes = keyhold::EncodeContainerFile(record);
        if (bytes.empty() || !WriteFile(top + "/container_file/" + f.file, bytes.data(), bytes.size())) return 1;
    }

    // First byte: the program (ToolProgram order), then NUL-separated arguments.
    struct Line {
        const char* file;
        ToolProgram program;
        std::vector<std::string> args;
    };
    const Line lines[] = {
        {"vandrel", TOOL_VANDREL, {"/P:1", "/N:Test"}},
        {"vandrel_machine", TOOL_VANDREL, {"/M", "/P:24", "/N:Machine key"}},
        {"tessaro", TOOL_TESSARO, {"/N:New", "/L:1024", "/X", "/F:pub.key"}},
        {"tessaro_usage", TOOL_TESSARO, {"/L:512", "/?", "/N:After"}},
        {"morbeck", TOOL_MORBECK, {"/P:12", "/N:Made", "/L:2048", "/E:3", "/X", "/F:made.key"}},
        {"morbeck_numbers", TOOL_MORBECK, {"/L:-4096", "/E:  +65537", "/E:99999999999", "/L:2147483648"}},
        {"faldren_private", TOOL_FALDREN, {"/K:7", "/F:pair.key", "/N:Old"}},
        {"faldren_public", TOOL_FALDREN, {"/K:6", "/F:", "/M"}},
        {"ombrix", TOOL_OMBRIX, {"/F:pair.key", "/N:New", "/X"}},
        {"ombrix_unknown", TOOL_OMBRIX, {"pair.key", "-N:x", "/n:lower", "/Nothing"}},
        {"quorvin", TOOL_QUORVIN, {"/P:1"}},
        {"quorvin_machine", TOOL_QUORVIN, {"/M", "/P:4294967297"}},
        {"zetrask", TOOL_ZETRASK, {"/N:Old"}},
        {"zetrask_usage", TOOL_ZETRASK, {"/?"}},
    };
    for (const Line& l : lines) {
        std::string bytes(1, static_cast<char>(l.program));
        for (std::size_t i = 0; i < l.args.size(); ++i) {
            if (i) bytes.push_back('\0');
            bytes += l.args[i];
        }
        if (!WriteFile(top + "/command_line/" + l.file, reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size()))
            return 1;
    }
    return 0;
}
