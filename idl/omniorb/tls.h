// The TLS context of a client: it trusts one CA and presents no certificate of its own. omniORB
// changed how a context made by the application initialises itself between 4.2 and 4.3, so each
// has its own small file (tls_omniorb42.cc, tls_omniorb43.cc); the build takes the one for the
// omniORB it finds.
#ifndef ZK_IDL_OMNIORB_TLS_H_
#define ZK_IDL_OMNIORB_TLS_H_

#include <string>

struct ssl_ctx_st;

namespace zk {

// Makes every TLS connection of this process trust the CA certificate(s) in `ca_file` alone,
// verify the server (a server the CA did not sign is refused) and present no certificate. Call
// once, before ORB_init.
void InstallClientTlsContext(const std::string& ca_file);

// The OpenSSL context that the installed client context set up when the ORB started; null
// before that, or when no client context was installed. For tests.
ssl_ctx_st* ClientTlsOpenSslContext();

}  // namespace zk

#endif  // ZK_IDL_OMNIORB_TLS_H_
