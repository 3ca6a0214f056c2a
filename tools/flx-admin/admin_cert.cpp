// The host's small CA and the site certificate it signs, made with OpenSSL. Machines enrolling
// pin the CA by the SHA-256 of its public key, so no CA file has to be carried to them.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <openssl/x509v3.h>
#include <string.h>
#include <unistd.h>
#include "flxenroll.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "admin_enroll.h"
#include "admin_util.h"
#include "kevohandle.h"
#include "kevoroot.h"

namespace flxadmin {

namespace {

const long kCaDays = 3650;
const long kSiteDays = 825;  // the longest lifetime clients accept for a server certificate

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string sslError(const char* what) {
  char text[256] = "unknown error";
  const unsigned long e = ERR_get_error();
  if (e != 0) ERR_error_string_n(e, text, sizeof text);
  return std::string(what) + " (" + text + ")";
}

// Adds extension `nid` with its configuration text; false on a bad value.
bool addExt(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `key` named `cn`, signed by `signKey` as `issuer` (itself when null).
Cert makeCert(EVP_PKEY* key, const std::string& cn, EVP_PKEY* signKey, X509* issuer, long days,
              const std::vector<std::pair<int, std::string>>& exts, std::string& err) {
  Cert cert(X509_new(), X509_free);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), BN_free);
  bool ok = cert && serial && X509_set_version(cert.get(), 2) == 1 &&
            BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
            BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) != nullptr &&
            X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 86400L) != nullptr &&
            X509_set_pubkey(cert.get(), key) == 1;
  X509_NAME* name = ok ? X509_get_subject_name(cert.get()) : nullptr;
  ok = ok && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                        0) == 1;
  X509* signer = issuer != nullptr ? issuer : cert.get();
  ok = ok && X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1;
  for (const auto& ext : exts) ok = ok && addExt(cert.get(), signer, ext.first, ext.second);
  ok = ok && X509_sign(cert.get(), signKey, EVP_sha256()) > 0;
  if (!ok) {
    err = sslError(("cannot make the certificate " + cn).c_str());
    cert.reset();
  }
  return cert;
}

std::string pemOf(X509* cert) {
  Bio bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return std::string();
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string pemOf(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return std::string();
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

Cert readCert(const std::string& path) {
  kevo::File f(fopen(path.c_str(), "re"));
  return Cert(f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
}

PKey readKey(const std::string& path) {
  kevo::File f(fopen(path.c_str(), "re"));
  return PKey(f ? PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
}

// The names a machine may reach this host by: FQDN, host name, localhost, and the addresses of
// every interface (link-local IPv6 ones carry a zone that a certificate cannot name).
std::string altNames() {
  std::set<std::string> dns = {"localhost"};
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') dns.insert(host);
  dns.insert(hostFqdn());
  std::set<std::string> ips = {"127.0.0.1", "::1"};
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (struct ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
      if (a->ifa_addr == nullptr) continue;
      char text[INET6_ADDRSTRLEN] = "";
      if (a->ifa_addr->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text,
                  sizeof text);
      } else if (a->ifa_addr->sa_family == AF_INET6) {
        const in6_addr& addr = reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr;
        if (IN6_IS_ADDR_LINKLOCAL(&addr)) continue;
        inet_ntop(AF_INET6, &addr, text, sizeof text);
      }
      if (text[0] != '\0') ips.insert(text);
    }
    freeifaddrs(list);
  }
  std::string names;
  for (const std::string& d : dns) names += (names.empty() ? "DNS:" : ",DNS:") + d;
  for (const std::string& ip : ips) names += ",IP:" + ip;
  return names;
}

int makeCa(const std::string& certPath, const std::string& keyPath, std::string& err) {
  PKey key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  if (!key) {
    err = sslError("cannot make the CA's key");
    return 1;
  }
  Cert ca = makeCert(key.get(), "FLX host CA " + hostFqdn(), key.get(), nullptr, kCaDays,
                     {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                      {NID_key_usage, "critical,keyCertSign,cRLSign"},
                      {NID_subject_key_identifier, "hash"}},
                     err);
  if (!ca) return 1;
  // The key first: a certificate without its key would never be replaced.
  return writeNewFile(keyPath, pemOf(key.get()), 0600, err) != 0 ||
                 writeNewFile(certPath, pemOf(ca.get()), 0644, err) != 0
             ? 1
             : 0;
}

int makeSiteCert(X509* ca, EVP_PKEY* caKey, std::string& err) {
  PKey key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  if (!key) {
    err = sslError("cannot make the site's key");
    return 1;
  }
  Cert cert = makeCert(key.get(), hostFqdn(), caKey, ca, kSiteDays,
                       {{NID_basic_constraints, "critical,CA:FALSE"},
                        {NID_key_usage, "critical,digitalSignature"},
                        {NID_ext_key_usage, "serverAuth"},
                        {NID_subject_alt_name, altNames()},
                        {NID_authority_key_identifier, "keyid"}},
                       err);
  if (!cert) return 1;
  // The CA follows the site's certificate, so that the handshake shows a machine the CA it
  // pins.
  return writeNewFile(rootPath(KEVO_SITE_KEY_PATH), pemOf(key.get()), 0600, err) != 0 ||
                 writeNewFile(rootPath(KEVO_SITE_CERT_PATH), pemOf(cert.get()) + pemOf(ca), 0644,
                              err) != 0
             ? 1
             : 0;
}

std::string timeText(const ASN1_TIME* t) {
  Bio bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || ASN1_TIME_print(bio.get(), t) != 1) return std::string();
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string subjectAltNames(X509* cert) {
  std::string out;
  GENERAL_NAMES* names =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
    std::string item;
    if (n->type == GEN_DNS) {
      item =
          "DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(n->d.dNSName)),
                               static_cast<size_t>(ASN1_STRING_length(n->d.dNSName)));
    } else if (n->type == GEN_IPADD) {
      char text[INET6_ADDRSTRLEN] = "";
      const int len = ASN1_STRING_length(n->d.iPAddress);
      inet_ntop(len == 16 ? AF_INET6 : AF_INET, ASN1_STRING_get0_data(n->d.iPAddress), text,
                sizeof text);
      item = std::string("IP:") + text;
    }
    if (!item.empty()) out += (out.empty() ? "" : ", ") + item;
  }
  GENERAL_NAMES_free(names);
  return out;
}

}  // namespace

std::string hostFqdn() {
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
  struct addrinfo hints {};
  hints.ai_flags = AI_CANONNAME;
  struct addrinfo* info = nullptr;
  std::string fqdn = host;
  if (getaddrinfo(host, nullptr, &hints, &info) == 0) {
    if (info != nullptr && info->ai_canonname != nullptr && strchr(info->ai_canonname, '.'))
      fqdn = info->ai_canonname;
    freeaddrinfo(info);
  }
  return fqdn;
}

int certInit(std::string& err) {
  return guardedOp(err, [&] {
    const std::string caCert = rootPath(KEVO_CA_CERT_PATH);
    const std::string caKey = rootPath(KEVO_CA_KEY_PATH);
    if (!exists(caCert) && !exists(caKey) && makeCa(caCert, caKey, err) != 0) return 1;
    // A site certificate of the operator's own is kept as it is.
    if (exists(rootPath(KEVO_SITE_CERT_PATH)) || exists(rootPath(KEVO_SITE_KEY_PATH))) return 0;
    Cert ca = readCert(caCert);
    PKey key = readKey(caKey);
    if (!ca || !key) {
      err = "cannot read the CA " + caCert + " and its key " + caKey +
            ": move both aside and run flx-admin init again";
      return 1;
    }
    return makeSiteCert(ca.get(), key.get(), err);
  });
}

int certShow(std::string& hash, Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    const std::string caPath = rootPath(KEVO_CA_CERT_PATH);
    Cert ca = readCert(caPath);
    if (!ca) {
      err = "no CA certificate at " + caPath + ": run 'flx-admin init'";
      return 1;
    }
    if (flxenroll::CaPin(caPath, hash) != 0) {
      err = sslError(("cannot hash the public key of " + caPath).c_str());
      return 1;
    }
    out = Json::Value(Json::objectValue);
    out["ca"] = caPath;
    out["ca_expires"] = timeText(X509_get0_notAfter(ca.get()));
    const std::string sitePath = rootPath(KEVO_SITE_CERT_PATH);
    Cert site = readCert(sitePath);
    out["certificate"] = sitePath;
    if (site) {
      out["names"] = subjectAltNames(site.get());
      out["expires"] = timeText(X509_get0_notAfter(site.get()));
      EVP_PKEY* caKey = X509_get0_pubkey(ca.get());
      out["signed_by_ca"] = X509_verify(site.get(), caKey) == 1;
    }
    return 0;
  });
}

}  // namespace flxadmin
