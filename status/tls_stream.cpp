#include "status/tls_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "platform/strings.h"

namespace status {

namespace {

constexpr const char* kCertificateKey = "StatusTlsCertificate";
constexpr const char* kKeyKey = "StatusTlsKey";
constexpr const char* kCannotUse = "%s %s cannot be used (%s)";
constexpr const char* kIsLink = "it is a symbolic link, which is not followed for a key";
constexpr const char* kNotRegular = "it is not a regular file";
constexpr const char* kTooLarge = "it is larger than 1 MiB";
constexpr const char* kNoCertificate = "no PEM certificate in it";
constexpr const char* kBadChain = "a certificate after the first cannot be read";
constexpr const char* kNoKey = "no unencrypted PEM private key in it";
constexpr const char* kMismatch = "it does not match the certificate";
constexpr const char* kNoContext = "OpenSSL cannot make a TLS context";
constexpr std::size_t kPemMax = 1 << 20;

// A PEM file's bytes; the key's are wiped when dropped.
struct PemBytes {
  std::vector<char> bytes;
  bool secret = false;
  ~PemBytes() {
    if (secret) OPENSSL_cleanse(bytes.data(), bytes.size());
  }
};

platform::Status Failure(const char* key, const std::string& path, const std::string& reason) {
  return platform::Status::Failure(
      platform::StringPrintf(kCannotUse, key, path.c_str(), reason.c_str()));
}

// Reads `path` whole: a regular file of at most kPemMax bytes; a link is
// followed only when `follow_links`. The failure is the reason alone.
platform::Status ReadPem(const std::string& path, bool follow_links, PemBytes& out) {
  const int fd = open(path.c_str(),
                      O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW));
  if (fd < 0)
    return errno == ELOOP && !follow_links ? platform::Status::Failure(kIsLink)
                                           : platform::Status::FromErrno(errno);
  struct stat st {};
  platform::Status status;
  if (fstat(fd, &st) != 0)
    status = platform::Status::FromErrno(errno);
  else if (!S_ISREG(st.st_mode))
    status = platform::Status::Failure(kNotRegular);
  else if (static_cast<std::size_t>(st.st_size) > kPemMax)
    status = platform::Status::Failure(kTooLarge);
  out.bytes.resize(kPemMax + 1);
  std::size_t filled = 0;
  while (status && filled < out.bytes.size()) {
    const ssize_t got = ::read(fd, out.bytes.data() + filled, out.bytes.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) status = platform::Status::FromErrno(errno);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  close(fd);
  if (status && filled > kPemMax) status = platform::Status::Failure(kTooLarge);
  out.bytes.resize(filled);
  return status;
}

// No passphrase is ever asked for: an encrypted key is not read.
int NoPassphrase(char*, int, int, void*) { return 0; }

platform::Status UseCertificateChain(SSL_CTX* context, const PemBytes& pem) {
  BIO* bio = BIO_new_mem_buf(pem.bytes.data(), static_cast<int>(pem.bytes.size()));
  X509* first = bio ? PEM_read_bio_X509_AUX(bio, nullptr, NoPassphrase, nullptr) : nullptr;
  platform::Status status;
  if (first == nullptr || SSL_CTX_use_certificate(context, first) != 1)
    status = platform::Status::Failure(kNoCertificate);
  X509_free(first);
  while (status) {
    X509* next = PEM_read_bio_X509(bio, nullptr, NoPassphrase, nullptr);
    if (next == nullptr) {
      const unsigned long error = ERR_peek_last_error();
      if (ERR_GET_LIB(error) != ERR_LIB_PEM || ERR_GET_REASON(error) != PEM_R_NO_START_LINE)
        status = platform::Status::Failure(kBadChain);
      break;
    }
    if (SSL_CTX_add0_chain_cert(context, next) != 1) {
      X509_free(next);
      status = platform::Status::Failure(kBadChain);
    }
  }
  BIO_free(bio);
  ERR_clear_error();
  return status;
}

platform::Status UseKey(SSL_CTX* context, const PemBytes& pem) {
  BIO* bio = BIO_new_mem_buf(pem.bytes.data(), static_cast<int>(pem.bytes.size()));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, NoPassphrase, nullptr) : nullptr;
  BIO_free(bio);
  platform::Status status;
  if (key == nullptr)
    status = platform::Status::Failure(kNoKey);
  else if (SSL_CTX_use_PrivateKey(context, key) != 1 || SSL_CTX_check_private_key(context) != 1)
    status = platform::Status::Failure(kMismatch);
  EVP_PKEY_free(key);
  ERR_clear_error();
  return status;
}

// What every connection gets: TLS 1.2 at least, no renegotiation.
SSL_CTX* NewServerContext() {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  return context;
}

}  // namespace

platform::Result<std::shared_ptr<TlsContext>> TlsContext::Load(const std::string& certificate,
                                                               const std::string& key_path) {
  PemBytes chain, key;
  key.secret = true;
  if (platform::Status read = ReadPem(certificate, true, chain); !read)
    return Failure(kCertificateKey, certificate, read.reason());
  if (platform::Status read = ReadPem(key_path, false, key); !read)
    return Failure(kKeyKey, key_path, read.reason());
  SSL_CTX* context = NewServerContext();
  if (context == nullptr) return platform::Status::Failure(kNoContext);
  std::shared_ptr<TlsContext> loaded(new TlsContext(context));
  if (platform::Status used = UseCertificateChain(context, chain); !used)
    return Failure(kCertificateKey, certificate, used.reason());
  if (platform::Status used = UseKey(context, key); !used)
    return Failure(kKeyKey, key_path, used.reason());
  return loaded;
}

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

TlsStream::TlsStream(int fd, platform::Clock& clock, const TlsContext& context)
    : BoundedStream(fd, clock), ssl_(SSL_new(context.get())) {
  const int flags = fcntl(fd, F_GETFL);
  if (ssl_ != nullptr &&
      (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || SSL_set_fd(ssl_, fd) != 1)) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
}

TlsStream::~TlsStream() {
  if (ssl_ == nullptr) return;
  if (!closed_) (void)SSL_shutdown(ssl_);  // one try: the peer need not answer
  SSL_free(ssl_);
  ERR_clear_error();
}

bool TlsStream::Retry(int error) {
  switch (error) {
    case SSL_ERROR_WANT_READ:
      return Wait(POLLIN, kStatusReadWriteMs);
    case SSL_ERROR_WANT_WRITE:
      return Wait(POLLOUT, kStatusReadWriteMs);
    default:
      // The connection failed, or was closed: nothing more is written to it.
      closed_ = true;
      ERR_clear_error();
      return false;
  }
}

bool TlsStream::Handshake() {
  if (ssl_ == nullptr) return false;
  for (;;) {
    const int result = SSL_accept(ssl_);
    if (result == 1) return true;
    if (!Retry(SSL_get_error(ssl_, result))) return false;
  }
}

bool TlsStream::is_readable() const {
  return SSL_pending(ssl_) > 0 || Wait(POLLIN, kStatusReadWriteMs);
}

bool TlsStream::NextRequest() const {
  return SSL_pending(ssl_) > 0 || Wait(POLLIN, kStatusKeepAliveMs);
}

ssize_t TlsStream::read(char* ptr, size_t size) {
  const int n = static_cast<int>(std::min<size_t>(size, INT_MAX));
  for (;;) {
    const int got = SSL_read(ssl_, ptr, n);
    if (got > 0) return got;
    const int error = SSL_get_error(ssl_, got);
    if (!Retry(error)) return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
}

ssize_t TlsStream::write(const char* ptr, size_t size) {
  const int n = static_cast<int>(std::min<size_t>(size, INT_MAX));
  for (;;) {
    const int sent = SSL_write(ssl_, ptr, n);
    if (sent > 0) return sent;
    if (!Retry(SSL_get_error(ssl_, sent))) return -1;
  }
}

}  // namespace status
