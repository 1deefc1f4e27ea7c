// The ORB layer without a network: argument vectors, their omniORB form, what omniORB makes of
// them, and the text of exceptions.
#include "idl/orb.h"

#include <gtest/gtest.h>
#include <omniORB4/omniORB.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace zk {
namespace {

using Args = std::vector<std::string>;

class ConfFile {
 public:
  explicit ConfFile(const std::string& content) {
    char tmpl[] = "/tmp/zkorbconfXXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    path_ = tmpl;
    std::ofstream(path_) << content;
  }
  ~ConfFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The options TranslateForOmniOrb always appends.
const Args kTuning = {"-ORBgiopMaxMsgSize",   std::to_string(kMaxMessageBytes),
                      "-ORBinConScanPeriod",  "0",
                      "-ORBoutConScanPeriod", "0"};

Args Join(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(OrbArgsTest, BuiltFromTheConnectionSettings) {
  ConnectionSettings c{"srv", "5000", "5001"};
  EXPECT_EQ((Args{"./zksvr", "-ORBInitRef", "NameService=corbaloc:iiop:srv:5000/NameService",
                  "-ORBSvcConf", "server.conf", "-ORBEndpoint", "iiop:///ssl_port=5001"}),
            ServerOrbArgs("./zksvr", c));
  EXPECT_EQ((Args{"zkls", "-ORBInitRef", "NameService=corbaloc:iiop:srv:5000/NameService"}),
            ClientOrbArgs("zkls", c));
  // Used verbatim, empty or not.
  EXPECT_EQ("NameService=corbaloc:iiop::/NameService", ClientOrbArgs("x", {})[2]);
  EXPECT_EQ("iiop:///ssl_port=", ServerOrbArgs("x", {})[6]);
}

TEST(OrbArgsTest, TranslatesForOmniOrb) {
  ConnectionSettings c{"srv", "5000", "5001"};
  const Args quiet = {"-ORBtraceLevel", "0"};

  // The client's vector only gains the tuning.
  EXPECT_EQ(Join(Join({"zkls"}, quiet),
                 Join({"-ORBInitRef", "NameService=corbaloc:iiop:srv:5000/NameService"}, kTuning)),
            TranslateForOmniOrb(ClientOrbArgs("zkls", c)));

  // No configuration file: dropped; the endpoint is plain TCP on a port the system picks.
  Args server = ServerOrbArgs("zksvr", c);
  server[4] = "/nonexistent/server.conf";
  EXPECT_EQ(Join(Join({"zksvr"}, quiet),
                 Join({"-ORBInitRef", "NameService=corbaloc:iiop:srv:5000/NameService",
                       "-ORBendPoint", "giop:tcp::"},
                      kTuning)),
            TranslateForOmniOrb(server));

  // An existing file is passed as omniORB's configuration file.
  ConfFile plain("# comment\nendPointPublish = giop:tcp:127.0.0.1:\n");
  server[4] = plain.path();
  Args out = TranslateForOmniOrb(server);
  EXPECT_EQ(Join(Join({"zksvr"}, quiet),
                 Join({"-ORBInitRef", "NameService=corbaloc:iiop:srv:5000/NameService",
                       "-ORBconfigFile", plain.path(), "-ORBendPoint", "giop:tcp::"},
                      kTuning)),
            out);

  // A file that sets a TLS key: the TLS port only, asking clients for no certificate unless
  // the file says otherwise. One that sets a trace level keeps it.
  ConfFile tls("sslCAFile = ca.pem\n  sslKeyFile =  key.pem \ntraceLevel = 10\n");
  server[4] = tls.path();
  EXPECT_EQ(Join({"zksvr", "-ORBInitRef", "NameService=corbaloc:iiop:srv:5000/NameService",
                  "-ORBconfigFile", tls.path(), "-ORBendPoint", "giop:ssl::5001",
                  "-ORBsslVerifyMode", "none"},
                 kTuning),
            TranslateForOmniOrb(server));
  ConfFile verify("sslKeyFile = key.pem\nsslVerifyMode = peer,fail\ntraceLevel = 1\n");
  server[4] = verify.path();
  EXPECT_EQ(Join({"zksvr", "-ORBInitRef", "NameService=corbaloc:iiop:srv:5000/NameService",
                  "-ORBconfigFile", verify.path(), "-ORBendPoint", "giop:ssl::5001"},
                 kTuning),
            TranslateForOmniOrb(server));
}

TEST(OrbArgsTest, ReadsConfigurationKeys) {
  ConfFile f("# sslKeyFile = commented.pem\nsslKeyFileX = other\nsslKeyFile =\ntraceLevel=1\n");
  EXPECT_FALSE(ConfiguresTls(f.path()));
  EXPECT_TRUE(ConfigNames(f.path(), "traceLevel"));
  EXPECT_FALSE(ConfigNames(f.path(), "endPoint"));
  EXPECT_FALSE(ConfiguresTls("/nonexistent/server.conf"));
}

TEST(OrbTest, OmniOrbTakesTheTranslatedVector) {
  ConnectionSettings c{"127.0.0.1", "1", "2"};
  CORBA::ORB_var orb = InitOrb(TranslateForOmniOrb(ClientOrbArgs("orb_test", c)));
  ASSERT_FALSE(CORBA::is_nil(orb.in()));
  // Large batches fit in one message.
  EXPECT_EQ(static_cast<CORBA::ULong>(kMaxMessageBytes), omniORB::giopMaxMsgSize());

  // The naming reference is the corbaloc one; nothing listens on port 1.
  try {
    CosNaming::NamingContext_var nc = NamingContext(orb.in());
    nc->resolve(ServerName());
    ADD_FAILURE() << "no exception";
  } catch (const CORBA::TRANSIENT& e) {
    EXPECT_EQ("CORBA::TRANSIENT(TRANSIENT_ConnectFailed, CORBA::COMPLETED_NO)", ExceptionText(e));
  }
  orb->destroy();
}

TEST(OrbTest, ExceptionTexts) {
  EXPECT_EQ("CORBA::NO_IMPLEMENT(0x0, CORBA::COMPLETED_NO)", ExceptionText(CORBA::NO_IMPLEMENT()));
  EXPECT_EQ("User exception: IDL:omg.org/CosNaming/NamingContext/NotFound:1.0",
            ExceptionText(CosNaming::NamingContext::NotFound()));
  CosNaming::Name name = ServerName();
  ASSERT_EQ(1u, name.length());
  EXPECT_STREQ("ZKmdImpl", name[0].id.in());
  EXPECT_STREQ("", name[0].kind.in());
}

}  // namespace
}  // namespace zk
