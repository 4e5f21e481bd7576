// What OpenSSL's RSA_generate_key itself answers for a length and an exponent:
// nothing when it makes a key, else the line Morbeck must print for it.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    if (argc != 3) return 2;
    RSA* key = RSA_generate_key(std::atoi(argv[1]), std::strtoul(argv[2], nullptr, 10), nullptr, nullptr);
    if (key != nullptr) return RSA_free(key), 0;
    char text[1024];
    ERR_error_string(ERR_get_error(), text);
    std::printf("RSA_generate_key: Error=%s\n", text);
    return 1;
}
