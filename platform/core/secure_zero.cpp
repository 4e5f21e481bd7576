#include <windows.h>

#include <openssl/crypto.h>

extern "C" void* SecureZeroMemory(void* ptr, size_t cnt) {
    if (ptr != nullptr) OPENSSL_cleanse(ptr, cnt);
    return ptr;
}
