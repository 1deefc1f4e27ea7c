// The connection table where a client cannot steer it: a connection's memory reused by a new one,
// and a connection first seen by its proof (the rest is in tests/security_test.cc).
#include "server/connection_auth.h"

#include <gtest/gtest.h>

namespace zk {
namespace {

TEST(ConnectionAuth, ReusedConnectionStartsUnauthenticated) {
  ConnectionAuth auth;
  int conn = 0;
  auth.Accepted(&conn);
  auth.Authenticated(&conn, "u1");
  // The connection closed and a new one got the same memory.
  auth.Accepted(&conn);
  EXPECT_FALSE(auth.Allows(&conn, "u1"));
  for (int i = 0; i < 100; ++i) auth.Accepted(&conn);
  EXPECT_EQ(1u, auth.size());
}

TEST(ConnectionAuth, ConnectionSeenFirstByItsProof) {
  // Accepted before tracking began: the proof itself gives it an id.
  ConnectionAuth auth;
  int conn = 0, other = 0;
  auth.Authenticated(&conn, "u1");
  EXPECT_TRUE(auth.Allows(&conn, "u1"));
  auth.Failed(&other);
  EXPECT_FALSE(auth.Allows(&other, "u1"));
  auth.Authenticated(nullptr, "u1");
  EXPECT_FALSE(auth.Allows(nullptr, "u1"));
}

TEST(ConnectionAuth, PeerHostsAndLogTexts) {
  EXPECT_EQ("127.0.0.1", PeerHost("giop:tcp:127.0.0.1:40000"));
  EXPECT_EQ("127.0.0.1", PeerHost("giop:tcp:[::ffff:127.0.0.1]:40000"));
  EXPECT_EQ("::1", PeerHost("giop:ssl:[::1]:40000"));
  EXPECT_EQ("fe80::1", PeerHost("giop:tcp:[fe80::1]:1"));
  EXPECT_EQ("odd", PeerHost("odd"));

  EXPECT_EQ("a?b?c", LogText("a\nb\x7f"
                             "c"));
  std::string long_id(300, 'x');
  EXPECT_EQ(std::string(200, 'x') + "...", LogText(long_id));
  // "ア" is three bytes: a cut never leaves half of one.
  std::string kana;
  for (int i = 0; i < 100; ++i) kana += "ア";
  EXPECT_EQ(kana.substr(0, 198) + "...", LogText(kana));
}

}  // namespace
}  // namespace zk
