#pragma once
// HTTPS on the status port ("StatusTlsCertificate", "StatusTlsKey"):
// TlsContext holds the certificate chain and key, loaded once at start and
// shared read-only by the workers (OpenSSL allows one SSL_CTX to serve many
// threads); TlsStream is one connection, owned and used by the worker
// serving it. The port is either all HTTPS or all plain HTTP: a certificate
// that cannot be loaded keeps it off rather than serving plain HTTP.
#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "platform/status.h"
#include "status/connection_stream.h"

namespace status {

class TlsContext {
 public:
  // Loads the PEM chain `certificate` (first the server's certificate) and
  // the unencrypted PEM key `key_path`, opened without following a link.
  // The failure names the key ("StatusTlsCertificate" or "StatusTlsKey"),
  // the file and the reason; never the key's content.
  static platform::Result<std::shared_ptr<TlsContext>> Load(const std::string& certificate,
                                                            const std::string& key_path);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* get() const { return context_; }

 private:
  explicit TlsContext(SSL_CTX* context) : context_(context) {}
  SSL_CTX* const context_;
};

// One TLS connection over a non-blocking descriptor: the handshake, reads
// and writes wait as a plain connection's do, within its deadline.
class TlsStream final : public BoundedStream {
 public:
  TlsStream(int fd, platform::Clock& clock, const TlsContext& context);
  ~TlsStream() override;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // The server's side of the handshake; false when it failed or took too long.
  bool Handshake();

  bool is_readable() const override;
  bool is_writable() const override { return Wait(POLLOUT, kStatusReadWriteMs); }
  bool NextRequest() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;

 private:
  // Whether the call that failed with `error` (SSL_get_error) may be made
  // again: once the socket is ready for what OpenSSL waits for, in time.
  bool Retry(int error);

  SSL* ssl_;
  bool closed_ = false;
};

}  // namespace status
