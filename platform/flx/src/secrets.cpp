// Making enrollment secrets and the CA pin of their join lines: flx-admin and the management
// API issue them alike.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdio.h>

#include <memory>

#include "flxenroll.h"
#include "kevohandle.h"

namespace flxenroll {

int CaPin(const std::string& caPath, std::string& pin) {
  try {
    kevo::File f(fopen(caPath.c_str(), "re"));
    if (!f) return -1;
    std::unique_ptr<X509, void (*)(X509*)> ca(PEM_read_X509(f.get(), nullptr, nullptr, nullptr),
                                              X509_free);
    if (!ca) return -1;
    // RFC 7469's pin: SHA-256 over the DER SubjectPublicKeyInfo.
    unsigned char* der = nullptr;
    const int len = i2d_PUBKEY(X509_get0_pubkey(ca.get()), &der);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool ok = len > 0 && EVP_Digest(der, static_cast<size_t>(len), digest, &size,
                                          EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok) return -1;
    static const char kHex[] = "0123456789abcdef";
    std::string out = "sha256:";
    for (unsigned int i = 0; i < size; ++i) {
      out.push_back(kHex[digest[i] >> 4]);
      out.push_back(kHex[digest[i] & 15]);
    }
    pin.swap(out);
    return 0;
  } catch (...) {
    return -1;
  }
}

int CreateSecret(Secret& secret, std::string& token) {
  try {
    secret.publicId = RandomToken(kPublicIdLength);
    const std::string secretPart = RandomToken(kSecretLength);
    if (secret.publicId.size() != kPublicIdLength || secretPart.size() != kSecretLength) return -1;
    if (AddSecret(secret, Sha256Hex(secretPart)) != 0) return -1;
    token = secret.publicId + "." + secretPart;
    return 0;
  } catch (...) {
    return -1;
  }
}

}  // namespace flxenroll
