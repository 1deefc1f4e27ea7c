// GIOP 1.2 written byte by byte over a plain socket, for what no ORB sends: requests cut off in
// the middle, arguments far larger than any tool sends, many connections from one peer.
//
//   Cdr body;
//   body.String("u1");
//   body.String("pw1");
//   RawConnection c(ObjectAddressOf(server));
//   c.Send(RequestStart(1, c.key(), "zkExistsUser", body.size()) + body.bytes());
//   RawReply reply;
//   c.Receive(&reply, 5);  // reply.Long(0) == -1
#ifndef ZK_TESTS_RAW_GIOP_H_
#define ZK_TESTS_RAW_GIOP_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "idl/orb.h"

namespace zk {
namespace test {

// Little-endian CDR, aligned from the start of the encoded bytes (a request body starts at a
// multiple of eight from the message start, so that is its alignment too).
class Cdr {
 public:
  void Octet(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  void ULong(uint32_t v);
  void Long(int32_t v) { ULong(static_cast<uint32_t>(v)); }
  void String(const std::string& s);  // length with the terminating zero, bytes, zero
  void Octets(const std::string& s);  // sequence<octet>
  void Align(size_t n);
  size_t size() const { return bytes_.size(); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Where an object lives: the host and port of its IIOP profile, and its object key.
struct ObjectAddress {
  std::string host;
  int port = 0;
  std::string key;
};
ObjectAddress ObjectAddressOf(CORBA::Object_ptr obj);
// A corbaloc address of `key` at 127.0.0.1:`port` for GIOP 1.`minor` (the key escaped), for a
// reference that reaches an object through another port, such as a relay's.
std::string Corbaloc(int minor, int port, const std::string& key);

// The GIOP header and request header of a Request for `operation` on `key` (response expected),
// padded to where the body starts; `body_size` bytes of body complete the message.
std::string RequestStart(uint32_t request_id, const std::string& key, const std::string& operation,
                         size_t body_size);

struct RawReply {
  uint32_t request_id = 0;
  uint32_t status = 0;  // 0 NO_EXCEPTION, 1 USER_EXCEPTION, 2 SYSTEM_EXCEPTION
  std::string body;     // from the body's start (aligned to eight from the message start)
  // The little-endian long at `offset` of the body.
  int32_t Long(size_t offset) const;
};

// One TCP connection to an object's address.
class RawConnection {
 public:
  explicit RawConnection(const ObjectAddress& address);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  const std::string& key() const { return key_; }
  // Sends all of `bytes`, giving up after `seconds` (false then, or when the peer closed).
  bool Send(const std::string& bytes, double seconds = 30);
  // Sends `n` bytes of `fill`, in pieces, with the same limits.
  bool SendFill(size_t n, char fill, double seconds = 30);
  // Reads one reply message; false on a closed connection, another message or after `seconds`.
  bool Receive(RawReply* reply, double seconds);
  // True when the server closes the connection within `seconds` (data that arrives meanwhile is
  // read and dropped).
  bool ClosedWithin(double seconds);
  // Sends a request for `operation` with `body` and reads its reply.
  bool Call(const std::string& operation, const Cdr& body, RawReply* reply, double seconds = 10);
  // From now on reads at most `bytes` at a time, waiting `pause` before each read: a peer on a
  // slow line.
  void ReadSlowly(size_t bytes, std::chrono::milliseconds pause) {
    slow_bytes_ = bytes;
    slow_pause_ = pause;
  }

 private:
  bool ReadFully(char* buf, size_t n, double seconds);

  size_t slow_bytes_ = 0;  // 0: as fast as the data comes
  std::chrono::milliseconds slow_pause_{0};
  int fd_ = -1;
  std::string key_;
  uint32_t next_id_ = 1;
};

}  // namespace test
}  // namespace zk

#endif  // ZK_TESTS_RAW_GIOP_H_
