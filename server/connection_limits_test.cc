// What the process tests cannot steer: sockets closed and their descriptor numbers reused, and a
// watch that runs on a clock of its own.
#include "server/connection_limits.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace zk {
namespace {

TEST(ConnectionLimitsTest, AClosedSocketWhoseNumberIsReusedIsNeitherCountedNorShutDown) {
  int old_pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, old_pair));
  const Socket old_socket = SocketOfFd(old_pair[0]);
  ASSERT_NE(0u, old_socket.inode);
  PeerLimit peers(1, SocketStillOpen);
  ASSERT_TRUE(peers.Admit("host", old_socket));
  EXPECT_FALSE(peers.Admit("host", SocketOfFd(old_pair[1])));  // one at a time
  EXPECT_TRUE(peers.Admit("other", SocketOfFd(old_pair[1])));
  EXPECT_EQ(2u, peers.Total());

  // The first socket closes; a new one gets its number.
  close(old_pair[0]);
  int new_pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, new_pair));
  if (new_pair[0] != old_pair[0]) {
    ASSERT_EQ(old_pair[0], dup2(new_pair[0], old_pair[0]));
    close(new_pair[0]);
    new_pair[0] = old_pair[0];
  }
  EXPECT_FALSE(SocketStillOpen(old_socket));
  EXPECT_EQ(0u, peers.Count("host"));
  EXPECT_EQ(1u, peers.Total());  // the one of "other" only
  EXPECT_TRUE(peers.Admit("host", SocketOfFd(new_pair[0])));

  // Shutting the old connection down leaves the new one alone.
  ShutDownSocket(old_socket, true);
  ASSERT_EQ(1, write(new_pair[1], "x", 1));
  char c = 0;
  EXPECT_EQ(1, read(new_pair[0], &c, 1));
  // Its own shutdown ends it, after the closing message.
  ShutDownSocket(SocketOfFd(new_pair[0]), true);
  char message[16];
  EXPECT_EQ(12, read(new_pair[1], message, sizeof(message)));
  EXPECT_EQ(0, std::string(message, 4).compare("GIOP"));
  EXPECT_EQ(5, message[7]);  // CloseConnection
  EXPECT_EQ(0, read(new_pair[1], message, sizeof(message)));
  for (int fd : {old_pair[1], new_pair[0], new_pair[1]}) close(fd);
}

TEST(ConnectionLimitsTest, ConnectionsWithoutALoginAreOverdueAfterTheWait) {
  using Clock = LoginWatch::Clock;
  const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);
  LoginWatch watch(std::chrono::seconds(5));
  const Socket a{10, 100}, b{11, 101}, c{12, 102};
  watch.Waiting(a, "peer-a", t0);
  watch.Waiting(b, "peer-b", t0);
  watch.Waiting(c, "peer-c", t0 + std::chrono::seconds(3));
  watch.LoggedIn(b);
  // A failed login does not give a connection more time.
  watch.Waiting(a, "peer-a", t0 + std::chrono::seconds(4));
  EXPECT_TRUE(watch.Overdue(t0 + std::chrono::seconds(5)).empty());
  auto overdue = watch.Overdue(t0 + std::chrono::seconds(6));
  ASSERT_EQ(1u, overdue.size());
  EXPECT_EQ("peer-a", overdue[0].second);
  EXPECT_TRUE(watch.Overdue(t0 + std::chrono::seconds(7)).empty());   // reported once
  EXPECT_EQ(1u, watch.Overdue(t0 + std::chrono::seconds(9)).size());  // c
  EXPECT_EQ(0u, watch.size());
  watch.Waiting(Socket{13, 0}, "no socket", t0);  // nothing that could be closed
  EXPECT_EQ(0u, watch.size());
}

}  // namespace
}  // namespace zk
