// Enrollment on the machine: join the host with the secret of a join line, trusting it by the
// hash of its CA's public key; renew the session before it expires.
#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "agent.h"
#include "push.h"

namespace flxagent {

namespace {

const char kApi[] = "KEVO.FLX.Enroll";
const char kFormType[] = "application/x-www-form-urlencoded";
const time_t kConnectSeconds = 10;
const time_t kTransferSeconds = 60;

std::string Folder(const std::string& file) {
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

// "sha256:HEX" of a certificate's SubjectPublicKeyInfo; empty on failure.
std::string SpkiHash(X509* cert) {
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(X509_get0_pubkey(cert), &der);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const bool ok = len > 0 && EVP_Digest(der, static_cast<size_t>(len), digest, &size, EVP_sha256(),
                                        nullptr) == 1;
  OPENSSL_free(der);
  if (!ok) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string out = "sha256:";
  for (unsigned int i = 0; i < size; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 15]);
  }
  return out;
}

std::string PemHash(const std::string& pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), int(pem.size())),
                                                BIO_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
  return cert ? SpkiHash(cert.get()) : std::string();
}

// The certificate of the chain the host shows whose key has the pinned hash, and is a CA, as
// PEM. Nothing secret is sent on this connection: it ends after the handshake.
bool FetchPinnedCa(const std::string& authority, const std::string& pin, std::string& pem,
                   std::string& why) {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  if (!ctx) return false;
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  std::unique_ptr<BIO, decltype(&BIO_free_all)> bio(BIO_new_ssl_connect(ctx.get()), BIO_free_all);
  SSL* ssl = nullptr;
  if (!bio || BIO_get_ssl(bio.get(), &ssl) <= 0 || ssl == nullptr) return false;
  const bool hasPort = authority[0] == '[' ? authority.find("]:") != std::string::npos
                                           : authority.find(':') != std::string::npos;
  const std::string hostPort = hasPort ? authority : authority + ":443";
  std::string host = hostPort.substr(0, hostPort.rfind(':'));
  if (host.size() > 2 && host[0] == '[') host = host.substr(1, host.size() - 2);
  BIO_set_conn_hostname(bio.get(), hostPort.c_str());
  SSL_set_tlsext_host_name(ssl, host.c_str());
  if (BIO_do_connect(bio.get()) <= 0 || BIO_do_handshake(bio.get()) <= 0) {
    why = "cannot make a TLS connection to " + hostPort;
    return false;
  }
  STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl);
  for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) {
    X509* cert = sk_X509_value(chain, i);
    if (SpkiHash(cert) != pin || X509_check_ca(cert) == 0) continue;
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
    char* data = nullptr;
    if (!out || PEM_write_bio_X509(out.get(), cert) != 1) return false;
    const long n = BIO_get_mem_data(out.get(), &data);
    pem.assign(data, static_cast<size_t>(n));
    return true;
  }
  why = "the host " + hostPort +
        " shows no CA with the hash of the join line: check --ca-hash against "
        "'flx-admin cert show' on the host (or someone is in between)";
  return false;
}

bool Loopback(const std::string& authority) {
  const std::string host = authority.substr(0, authority.rfind(':'));
  return host == "localhost" || host.rfind("127.", 0) == 0 || host == "[::1]" ||
         authority == "[::1]";
}

// Posts one enrollment call. Returns 0 with `data` filled, the host's error code, or -1 with
// `why` when no answer came.
int Call(const std::string& url, const std::string& caFile,
         const std::vector<std::pair<std::string, std::string>>& fields, Json::Value& data,
         std::string& why) {
  std::string origin, path;
  if (!flxpush::SplitUrl(url, origin, path, why)) return -1;
  httplib::Client client(origin);
  if (!caFile.empty()) client.set_ca_cert_path(caFile);
  client.set_connection_timeout(kConnectSeconds);
  client.set_read_timeout(kTransferSeconds);
  const httplib::Result result = client.Post(path, flxpush::FormEncode(fields), kFormType);
  if (!result) {
    why = "cannot reach " + origin + " (" + httplib::to_string(result.error()) + ")";
    return -1;
  }
  Json::Value answer;
  if (result->status != 200 || !ParseJson(result->body, answer) || !answer.isObject() ||
      !answer["success"].isBool()) {
    why = origin + " answered HTTP " + std::to_string(result->status) +
          " without a web API answer: check the URL";
    return -1;
  }
  if (!answer["success"].asBool()) {
    const int code = flxpush::AnswerCode(result->body);
    return code != 0 ? code : -1;
  }
  data = answer["data"];
  return 0;
}

std::string Refusal(int code) {
  switch (code) {
    case 403:
      return "the host refused this machine (rejected by the operator)";
    case 409:
      return "another machine holds this identity's session: enroll again";
    case 430:
      return "the token is not known to the host: check the join line";
    case 431:
      return "the token has expired: ask for a new join line (flx-admin enroll add)";
    case 432:
      return "the token was used up: ask for a new join line (flx-admin enroll add)";
    case 433:
      return "the token was revoked: ask for a new join line (flx-admin enroll add)";
    case 105:
      return "the session is unknown or expired";
    default:
      return "error " + std::to_string(code) + ": see the host's log";
  }
}

// Writes what the host issued beside the configuration file; the secrets with mode 0600.
bool Store(const std::string& configFile, const Enrollment& e, const Json::Value& data,
           std::string& why) {
  const std::string dir = Folder(configFile);
  Json::Value kept(Json::objectValue);
  kept["url"] = e.url;
  kept["token"] = e.token;
  kept["ca_hash"] = e.caHash;
  kept["sn"] = e.sn;
  kept["issued"] = static_cast<Json::Int64>(e.issued);
  kept["expires"] = static_cast<Json::Int64>(e.expires);
  const bool ok = ReplaceFile(dir + "/push.key", data["key"].asString() + "\n", 0600) &&
                  ReplaceFile(dir + "/ca.crt", data["ca"].asString(), 0644) &&
                  ReplaceFile(dir + "/session", data["sid"].asString() + "\n", 0600) &&
                  ReplaceFile(EnrollmentFile(configFile), flxpush::Compact(kept) + "\n", 0600);
  if (!ok) why = "cannot write the session, key and CA in " + dir + ": run as root";
  return ok;
}

bool ValidIssue(const Json::Value& data, const std::string& pin, std::string& why) {
  if (!data.isObject() || !data["sn"].isString() || !data["sid"].isString() ||
      data["sid"].asString().size() < 16 || !data["key"].isString() ||
      data["key"].asString().size() != 64 || !data["ca"].isString()) {
    why = "the host's answer lacks sn, sid, key or ca";
    return false;
  }
  if (PemHash(data["ca"].asString()) != pin) {
    why = "the CA in the host's answer does not have the hash of the join line";
    return false;
  }
  return true;
}

}  // namespace

std::string EnrollmentFile(const std::string& configFile) {
  return Folder(configFile) + "/enrollment.json";
}

bool LoadEnrollment(const std::string& file, Enrollment& out) {
  bool ok = false;
  Json::Value v;
  if (!ParseJson(ReadText(file, &ok, 1 << 16), v) || !ok || !v.isObject()) return false;
  out.url = v["url"].asString();
  out.token = v["token"].asString();
  out.caHash = v["ca_hash"].asString();
  out.sn = v["sn"].asString();
  out.issued = v["issued"].asInt64();
  out.expires = v["expires"].asInt64();
  return !out.url.empty() && !out.caHash.empty();
}

int Enroll(const EnrollOptions& o, std::ostream& out, std::ostream& err, int* answer) {
  if (answer != nullptr) *answer = 0;
  std::string origin, path, why;
  if (o.caHash.size() != 71 || o.caHash.rfind("sha256:", 0) != 0 || o.token.empty() ||
      !flxpush::SplitUrl(o.url, origin, path, why)) {
    err << "flx-agent enroll: "
        << (why.empty() ? "give the URL, --token ID.SECRET and --ca-hash sha256:HEX (64 hex "
                          "digits) of the join line"
                        : why)
        << std::endl;
    return flxpush::kExitUsage;
  }
  Context ctx;
  ctx.root = o.root;
  Identity id;
  if (!CollectIdentity(ctx, id, why)) {
    err << "flx-agent enroll: " << why << std::endl;
    return flxpush::kExitUsage;
  }
  const std::string authority = origin.substr(origin.find("://") + 3);
  const std::string caFile = Folder(o.configFile) + "/ca.crt";
  if (origin.rfind("https://", 0) == 0) {
    std::string pem;
    if (!FetchPinnedCa(authority, o.caHash, pem, why) || !ReplaceFile(caFile, pem, 0644)) {
      err << "flx-agent enroll: " << (why.empty() ? "cannot write " + caFile : why) << std::endl;
      return flxpush::kExitUsage;
    }
  } else if (!Loopback(authority)) {
    err << "flx-agent enroll: the token would cross the network in clear: use https://"
        << std::endl;
    return flxpush::kExitUsage;
  }
  Json::Value data;
  const int code = Call(o.url, origin.rfind("https://", 0) == 0 ? caFile : "",
                        {{"api", kApi},
                         {"version", "1"},
                         {"method", "join"},
                         {"token", o.token},
                         {"identity", flxpush::Compact(IdentityJson(id))}},
                        data, why);
  if (answer != nullptr) *answer = code;
  if (code != 0) {
    err << "flx-agent enroll: " << (code < 0 ? why : Refusal(code)) << std::endl;
    return code < 0 ? flxpush::kExitUsage : flxpush::kExitErrorAnswer;
  }
  Enrollment e{o.url,
               o.token,
               o.caHash,
               data["sn"].asString(),
               static_cast<int64_t>(time(nullptr)),
               data["expires"].asInt64()};
  if (!ValidIssue(data, o.caHash, why) || !Store(o.configFile, e, data, why)) {
    err << "flx-agent enroll: " << why << std::endl;
    return flxpush::kExitUsage;
  }
  out << "enrolled as device " << e.sn
      << (data["pending"].asBool() ? " (waiting for the operator's approval)" : "") << std::endl;
  return flxpush::kExitSuccess;
}

int RenewSession(const std::string& configFile, const std::string& root, std::ostream& err) {
  const std::string dir = Folder(configFile);
  Enrollment e;
  if (!LoadEnrollment(EnrollmentFile(configFile), e)) return -1;
  const std::string sid = Trim(ReadLine(dir + "/session"));
  Context ctx;
  ctx.root = root;
  Identity id;
  std::string why;
  const std::string fingerprint = CollectIdentity(ctx, id, why) ? Fingerprint(id) : "";
  Json::Value data;
  const int code = Call(e.url, e.url.rfind("https://", 0) == 0 ? dir + "/ca.crt" : "",
                        {{"api", kApi},
                         {"version", "1"},
                         {"method", "renew"},
                         {"_sid", sid},
                         {"fingerprint", fingerprint}},
                        data, why);
  if (code != 0) {
    err << "flx-agent: cannot renew the session: " << (code < 0 ? why : Refusal(code)) << std::endl;
    return code;
  }
  e.sn = data["sn"].asString();
  e.issued = static_cast<int64_t>(time(nullptr));
  e.expires = data["expires"].asInt64();
  if (!ValidIssue(data, e.caHash, why) || !Store(configFile, e, data, why)) {
    err << "flx-agent: " << why << std::endl;
    return -1;
  }
  err << "flx-agent: renewed the session of device " << e.sn << std::endl;
  return 0;
}

}  // namespace flxagent
