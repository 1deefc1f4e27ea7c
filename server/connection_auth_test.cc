// The connection table: who is authenticated where, what a refusal or a reused connection
// forgets, and that keys which come back do not pile up.
#include "server/connection_auth.h"

#include <gtest/gtest.h>

namespace zk {
namespace {

TEST(ConnectionAuth, OnlyTheUserProvenOnThatConnection) {
  ConnectionAuth auth;
  int a = 0, b = 0;
  auth.Accepted(&a);
  auth.Accepted(&b);
  EXPECT_FALSE(auth.Allows(&a, "u1"));
  EXPECT_FALSE(auth.Allows(&a, ""));

  auth.Authenticated(&a, "u1");
  EXPECT_TRUE(auth.Allows(&a, "u1"));
  EXPECT_FALSE(auth.Allows(&a, "U1"));
  EXPECT_FALSE(auth.Allows(&b, "u1"));
  EXPECT_FALSE(auth.Allows(nullptr, "u1"));

  // A second proof on the same connection replaces the first; a refusal leaves nobody.
  auth.Authenticated(&a, "u2");
  EXPECT_FALSE(auth.Allows(&a, "u1"));
  EXPECT_TRUE(auth.Allows(&a, "u2"));
  auth.Failed(&a);
  EXPECT_FALSE(auth.Allows(&a, "u2"));
  EXPECT_FALSE(auth.Allows(&a, ""));
}

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

TEST(ConnectionAuth, CallScopeRestoresTheOuterCall) {
  int outer = 0, inner = 0;
  EXPECT_EQ(nullptr, CurrentCall().conn);
  {
    CallScope a(&outer, "giop:tcp:127.0.0.1:1");
    {
      CallScope b(&inner, nullptr);
      EXPECT_EQ(&inner, CurrentCall().conn);
      EXPECT_EQ("", CurrentCall().peer);
    }
    EXPECT_EQ(&outer, CurrentCall().conn);
    EXPECT_EQ("giop:tcp:127.0.0.1:1", CurrentCall().peer);
  }
  EXPECT_EQ(nullptr, CurrentCall().conn);
}

}  // namespace
}  // namespace zk
