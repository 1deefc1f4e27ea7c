// The client's TLS context on omniORB 4.3: sslContext lives in the namespace omni and copies the
// CA path it is given. Its constructors leave the verify mode, the verify and info callbacks and
// the cipher list unset: the ORB's own default context reads them from the ORB's settings
// (copy_globals) before it sets OpenSSL up (internal_initialise), and a context made by the
// application must do the same, or OpenSSL is handed whatever those members held (a client dies
// in its first handshake). So internal_initialise reads the settings without the key ones first.
// set_certificate and set_privatekey are made to do nothing.
#include <omniORB4/CORBA.h>
#include <omniORB4/sslContext.h>

#include "idl/omniorb/tls.h"

namespace zk {
namespace {

class ClientTlsContext : public omni::sslContext {
 public:
  explicit ClientTlsContext(const std::string& ca_file)
      : omni::sslContext(ca_file.c_str(), nullptr, nullptr) {}

  void internal_initialise() override {
    copy_globals(false);
    omni::sslContext::internal_initialise();
  }
  ssl_ctx_st* OpenSslContext() const { return get_SSL_CTX(); }

 protected:
  void set_certificate() override {}
  void set_privatekey() override {}
};

}  // namespace

void InstallClientTlsContext(const std::string& ca_file) {
  omni::sslContext::singleton = new ClientTlsContext(ca_file);
}

ssl_ctx_st* ClientTlsOpenSslContext() {
  ClientTlsContext* context = dynamic_cast<ClientTlsContext*>(omni::sslContext::singleton);
  return context ? context->OpenSslContext() : nullptr;
}

}  // namespace zk
