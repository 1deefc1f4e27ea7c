// The client's TLS context as OpenSSL is left with it once the ORB has started: the CA it was
// given, the server's certificate required, and no certificate or key of its own.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "idl/omniorb/tls.h"
#include "idl/orb.h"

namespace zk {
namespace {

// A self-signed CA certificate (P-256), valid until 2126.
const char kCaPem[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBgTCCASegAwIBAgIUJhVJN4rIwMPAYaGQxnOUoaOBVkcwCgYIKoZIzj0EAwIw\n"
    "FTETMBEGA1UEAwwKemsgdGVzdCBDQTAgFw0yNjEyMDkwNDE4MzVaGA8yMTI2MTEx\n"
    "NTA0MTgzNVowFTETMBEGA1UEAwwKemsgdGVzdCBDQTBZMBMGByqGSM49AgEGCCqG\n"
    "SM49AwEHA0IABNS6+7LQ/P61TdsHYVBJ+61/R2IFWWgUPJsxI4x7+jgnu4OdpMIP\n"
    "o/XdwZ7LXY9byCvcsOTuHGFdLgZ/QGXOYBajUzBRMB0GA1UdDgQWBBQxC2d0poX2\n"
    "fAWYAH5jpVLs/0aEHTAfBgNVHSMEGDAWgBQxC2d0poX2fAWYAH5jpVLs/0aEHTAP\n"
    "BgNVHRMBAf8EBTADAQH/MAoGCCqGSM49BAMCA0gAMEUCIAgU4OQ28qo9UGaPqFuU\n"
    "Bgt+pY35/xB4ZAVDIDOj4BQtAiEA+dJ5BoBEYKvDMpC55kFTBrhoKho6knbg7X4R\n"
    "Gw8mi+c=\n"
    "-----END CERTIFICATE-----\n";

TEST(ClientTlsContextTest, TrustsItsCaRequiresTheServersCertificateAndPresentsNone) {
  char dir[] = "/tmp/zk-tls-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string ca = std::string(dir) + "/ca.pem";
  std::ofstream(ca) << kCaPem;

  EXPECT_EQ(nullptr, ClientTlsOpenSslContext());
  InstallClientTlsContext(ca);
  CORBA::ORB_var orb = InitOrb({"zk_tls_test", "-ORBtraceLevel", "0"});
  ssl_ctx_st* ctx = ClientTlsOpenSslContext();
  ASSERT_NE(nullptr, ctx);

  EXPECT_EQ(nullptr, SSL_CTX_get0_certificate(ctx));
  EXPECT_EQ(nullptr, SSL_CTX_get0_privatekey(ctx));
  EXPECT_EQ(SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, SSL_CTX_get_verify_mode(ctx));
  EXPECT_EQ(nullptr, SSL_CTX_get_verify_callback(ctx));
  int certificates = 0;
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx));
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    if (!cert) continue;
    ++certificates;
    char name[64];
    X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof(name));
    EXPECT_STREQ("/CN=zk test CA", name);
  }
  EXPECT_EQ(1, certificates);

  orb->destroy();
  unlink(ca.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace zk
