// Morbeck: an RSA key pair made with OpenSSL, imported into a container.
#ifndef KEYHOLD_KEYGEN_MORBECK_H
#define KEYHOLD_KEYGEN_MORBECK_H

// windows.h first: on Windows it brings wincrypt.h, whose X509_NAME and the
// like OpenSSL's headers then take back for their own names.
#include <windows.h>
#include <openssl/rsa.h>

// OpenSSL's own ceiling for a modulus; its generator does not enforce it, and
// beyond it a run would take practically forever.
#define MORBECK_MAX_MODULUS_BITS 16384

void PrintMorbeckUsage(void);

// A length we refuse before OpenSSL sees it, because OpenSSL would not refuse
// it itself but work on it practically forever: writes the reason into text
// and returns true.
bool RefuseKeyParameters(LONG modulusBits, char* text, size_t textSize);

// Generates an RSA pair with the given modulus length and public exponent, as
// OpenSSL's RSA_generate_key does. On failure returns false with the reason in
// OpenSSL's error queue.
bool GenerateRsaKey(LONG modulusBits, DWORD publicExponent, RSA** key);

// Writes the pair as a PRIVATEKEYBLOB into a new heap buffer, released by the
// caller with FreeKeyBuffer. Prints nothing; on failure hands over no buffer.
bool EncodePrivateKeyBlob(RSA* key, BYTE** blob, DWORD* length);

// The whole program: scan, usage or generation, import and export, exit status.
int MorbeckMain(int argc, char* argv[]);

#endif
