// The command-line scan of every program on argument vectors built from the
// input: the first byte picks the program, the rest splits at NUL bytes into
// arguments. Checked against the scan's contract: only the fields of the
// program's own options change, text values point into the argument that set
// them, numbers convert as the 32-bit runtime's strtoul and atoi do, and false
// comes only from a usage option.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "option_table.h"

namespace {

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

// The conversions written out digit by digit, apart from the product's.
std::uint64_t Magnitude(const char* text, bool* negative, bool* digits) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    *negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    *digits = *text >= '0' && *text <= '9';
    std::uint64_t m = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        m = m * 10 + static_cast<unsigned>(*text - '0');
        if (m > 0xFFFFFFFFull * 10) m = 0xFFFFFFFFull * 10;  // saturated: far past any 32-bit value
    }
    return m;
}

DWORD ExpectedUnsigned(const char* text) {
    bool negative, digits;
    const std::uint64_t m = Magnitude(text, &negative, &digits);
    if (!digits) return 0;
    if (m > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    return negative ? static_cast<DWORD>(0u - static_cast<DWORD>(m)) : static_cast<DWORD>(m);
}

LONG ExpectedSigned(const char* text) {
    bool negative, digits;
    const std::uint64_t m = Magnitude(text, &negative, &digits);
    if (!digits) return 0;
    if (negative) return m >= 0x80000000ull ? INT32_MIN : -static_cast<LONG>(m);
    return m > 0x7FFFFFFFull ? INT32_MAX : static_cast<LONG>(m);
}

// Recognisable values that no scan can produce by chance from short inputs.
void Poison(ToolOptions* o, const char* marker) {
    o->providerType = 0xA5A5A5A5u;
    o->containerName = marker;
    o->machineKeySet = 0xA5A5A5A5u;
    o->keyFilePath = marker;
    o->exportable = 0xA5A5A5A5u;
    o->keyLength = 0x5A5A5A5A;
    o->publicExponent = 0xA5A5A5A5u;
    o->blobType = 0xA5A5A5A5u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 4096) return 0;
    const ToolProgram program = static_cast<ToolProgram>(data[0] % 7);

    // Each argument in its own heap block, so that reading past its end is caught.
    std::vector<std::vector<char>> store;
    store.push_back({'p', 'r', 'o', 'g', '\0'});
    std::vector<char> current;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == '\0') {
            current.push_back('\0');
            store.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 1) {
        current.push_back('\0');
        store.push_back(current);
    }
    std::vector<char*> argv;
    for (auto& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;

    static const char marker[] = "unset";
    ToolOptions options;
    Poison(&options, marker);
    const bool result = ParseArgs(program, argc, argv.data(), &options);

    // The same scan, done here: the last occurrence of each option wins, and a
    // usage option ends the scan.
    size_t count = 0;
    const OptionEntry* table = ProgramOptionTable(program, &count);
    if (table == nullptr || count == 0) Finding("a program without an option table");
    ToolOptions expected;
    Poison(&expected, marker);
    bool expectedResult = true;
    for (int i = 1; i < argc && expectedResult; ++i) {
        for (size_t j = 0; j < count; ++j) {
            const size_t length = std::strlen(table[j].text);
            if (std::strncmp(argv[i], table[j].text, length) != 0) continue;
            const char* value = argv[i] + length;
            switch (table[j].field) {
            case FIELD_NONE: expectedResult = false; break;
            case FIELD_PROVIDER_TYPE: expected.providerType = ExpectedUnsigned(value); break;
            case FIELD_CONTAINER_NAME: expected.containerName = value; break;
            case FIELD_MACHINE_KEYSET: expected.machineKeySet = 1; break;
            case FIELD_KEY_FILE_PATH: expected.keyFilePath = value; break;
            case FIELD_EXPORTABLE: expected.exportable = 1; break;
            case FIELD_KEY_LENGTH: expected.keyLength = ExpectedSigned(value); break;
            case FIELD_PUBLIC_EXPONENT: expected.publicExponent = ExpectedUnsigned(value); break;
            case FIELD_BLOB_TYPE: expected.blobType = ExpectedUnsigned(value); break;
            }
            break;
        }
    }
    if (result != expectedResult) Finding("the scan's result differs");
    if (options.providerType != expected.providerType) Finding("provider type differs");
    if (options.containerName != expected.containerName) Finding("container name differs");
    if (options.machineKeySet != expected.machineKeySet) Finding("machine flag differs");
    if (options.keyFilePath != expected.keyFilePath) Finding("key file path differs");
    if (options.exportable != expected.exportable) Finding("exportable flag differs");
    if (options.keyLength != expected.keyLength) Finding("key length differs");
    if (options.publicExponent != expected.publicExponent) Finding("public exponent differs");
    if (options.blobType != expected.blobType) Finding("blob type differs");
    return 0;
}
