// The client's TLS context on omniORB 4.2: sslContext (in the global namespace) keeps the CA path
// it is given without copying it, reads the verify mode from its virtual set_verify_mode (whose
// default asks for the peer's certificate), and loads a certificate and a key through the virtual
// set_certificate and set_privatekey, which are made to do nothing.
#include <omniORB4/CORBA.h>
#include <omniORB4/sslContext.h>

#include "idl/omniorb/tls.h"

namespace zk {
namespace {

// The CA path a ClientTlsContext hands its base: a base class of its own, so that it is built
// before the sslContext that keeps a pointer to it and destroyed after it.
struct CaPathHolder {
  explicit CaPathHolder(const std::string& path) : ca_path(path) {}
  const std::string ca_path;
};

class ClientTlsContext : private CaPathHolder, public sslContext {
 public:
  explicit ClientTlsContext(const std::string& ca_file)
      : CaPathHolder(ca_file), sslContext(ca_path.c_str(), nullptr, nullptr) {}

 protected:
  void set_certificate() override {}
  void set_privatekey() override {}
};

}  // namespace

void InstallClientTlsContext(const std::string& ca_file) {
  sslContext::singleton = new ClientTlsContext(ca_file);
}

ssl_ctx_st* ClientTlsOpenSslContext() {
  ClientTlsContext* context = dynamic_cast<ClientTlsContext*>(sslContext::singleton);
  return context ? context->get_SSL_CTX() : nullptr;
}

}  // namespace zk
