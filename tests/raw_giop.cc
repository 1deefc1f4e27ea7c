// GIOP 1.2 over a plain socket: encoding, the object's address from its reference, and one
// connection that sends and receives whole or partial messages.
#include "tests/raw_giop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "idl/omniorb/ior.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline(double seconds) {
  return Clock::now() + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
}

// Milliseconds left until `deadline` (0 when it has passed).
int Left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

uint32_t LittleULong(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return u[0] | (u[1] << 8) | (u[2] << 16) | (static_cast<uint32_t>(u[3]) << 24);
}

}  // namespace

void Cdr::ULong(uint32_t v) {
  Align(4);
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void Cdr::String(const std::string& s) {
  ULong(static_cast<uint32_t>(s.size() + 1));
  bytes_ += s;
  bytes_.push_back('\0');
}

void Cdr::Octets(const std::string& s) {
  ULong(static_cast<uint32_t>(s.size()));
  bytes_ += s;
}

void Cdr::Align(size_t n) {
  while (bytes_.size() % n != 0) bytes_.push_back('\0');
}

ObjectAddress ObjectAddressOf(CORBA::Object_ptr obj) {
  ObjectAddress out;
  const std::vector<IIOP::ProfileBody> bodies = zk::IiopProfiles(obj);
  if (!bodies.empty()) {
    const IIOP::ProfileBody& body = bodies.front();
    out.host = body.address.host.in();
    out.port = body.address.port;
    out.key.assign(reinterpret_cast<const char*>(body.object_key.get_buffer()),
                   body.object_key.length());
  }
  return out;
}

std::string Corbaloc(int minor, int port, const std::string& key) {
  std::string text =
      "corbaloc:iiop:1." + std::to_string(minor) + "@127.0.0.1:" + std::to_string(port) + "/";
  for (unsigned char c : key) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    text += hex;
  }
  return text;
}

std::string RequestStart(uint32_t request_id, const std::string& key, const std::string& operation,
                         size_t body_size) {
  // The request header is encoded after the 12-byte GIOP header: its alignment counts from the
  // message start, so it starts with four bytes of offset (taken off again below).
  Cdr header;
  header.ULong(0);  // stands for the last four bytes of the GIOP header
  header.ULong(request_id);
  header.Octet(3);  // response expected
  for (int i = 0; i < 3; ++i) header.Octet(0);
  header.Align(2);
  header.Octet(0);  // TargetAddress: KeyAddr (a short)
  header.Octet(0);
  header.Octets(key);
  header.String(operation);
  header.ULong(0);  // no service contexts
  header.Align(8);
  std::string after_giop = header.bytes().substr(4);
  // Message size: everything after the GIOP header, here header + padding + body.
  Cdr giop;
  giop.ULong(static_cast<uint32_t>(after_giop.size() + body_size));
  return std::string("GIOP\x01\x02\x01\x00", 8) + giop.bytes() + after_giop;
}

int32_t RawReply::Long(size_t offset) const {
  if (offset + 4 > body.size()) return 0x7fffffff;
  return static_cast<int32_t>(LittleULong(body.data() + offset));
}

RawConnection::RawConnection(const ObjectAddress& address) : key_(address.key) {
  fd_ = ConnectLoopback(address.port);
  if (fd_ >= 0) fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

bool RawConnection::Send(const std::string& bytes, double seconds) {
  Clock::time_point deadline = Deadline(seconds);
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = write(fd_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    struct pollfd p = {fd_, POLLOUT, 0};
    if (Left(deadline) == 0 || poll(&p, 1, Left(deadline)) <= 0) return false;
  }
  return true;
}

bool RawConnection::SendFill(size_t n, char fill, double seconds) {
  Clock::time_point deadline = Deadline(seconds);
  const std::string piece(1 << 20, fill);
  while (n > 0) {
    size_t now = n < piece.size() ? n : piece.size();
    double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0 || !Send(piece.substr(0, now), left)) return false;
    n -= now;
  }
  return true;
}

bool RawConnection::ReadFully(char* buf, size_t n, double seconds) {
  Clock::time_point deadline = Deadline(seconds);
  size_t got = 0;
  while (got < n) {
    size_t want = n - got;
    if (slow_bytes_ > 0) {
      std::this_thread::sleep_for(slow_pause_);
      want = std::min(want, slow_bytes_);
    }
    ssize_t r = read(fd_, buf + got, want);
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    struct pollfd p = {fd_, POLLIN, 0};
    if (Left(deadline) == 0 || poll(&p, 1, Left(deadline)) <= 0) return false;
  }
  return true;
}

bool RawConnection::Receive(RawReply* reply, double seconds) {
  Clock::time_point deadline = Deadline(seconds);
  auto left = [&] {
    double l = std::chrono::duration<double>(deadline - Clock::now()).count();
    return l > 0 ? l : 0.001;
  };
  // A large reply comes in fragments: the Reply message with "more fragments" set, then Fragment
  // messages (request id first) until one without it.
  std::string message;
  bool more = true;
  for (bool first = true; more; first = false) {
    char header[12];
    if (!ReadFully(header, sizeof(header), left())) return false;
    if (std::memcmp(header, "GIOP", 4) != 0 || (header[6] & 1) == 0) return false;
    if (header[7] != (first ? 1 : 7)) return false;
    more = (header[6] & 2) != 0;
    std::string part(LittleULong(header + 8), '\0');
    if (!ReadFully(&part[0], part.size(), left())) return false;
    message += first ? part : part.substr(part.size() < 4 ? part.size() : 4);
  }
  // Reply header: request id, status, service contexts (skipped), then the body at eight.
  if (message.size() < 12) return false;
  reply->request_id = LittleULong(&message[0]);
  reply->status = LittleULong(&message[4]);
  size_t at = 8;
  uint32_t contexts = LittleULong(&message[at]);
  at += 4;
  // Offsets here are 12 short of the message's; 12 keeps alignments to four.
  for (uint32_t i = 0; i < contexts && at + 8 <= message.size(); ++i) {
    at = (at + 3) / 4 * 4 + 4;  // the context id
    uint32_t len = LittleULong(&message[at]);
    at += 4 + len;
    at = (at + 3) / 4 * 4;
  }
  size_t body = ((at + 12 + 7) / 8) * 8 - 12;
  reply->body = body < message.size() ? message.substr(body) : std::string();
  return true;
}

bool RawConnection::ClosedWithin(double seconds) {
  Clock::time_point deadline = Deadline(seconds);
  char buf[4096];
  for (;;) {
    ssize_t r = read(fd_, buf, sizeof(buf));
    if (r == 0) return true;
    if (r < 0 && errno != EAGAIN && errno != EINTR) return true;
    if (r > 0) continue;
    struct pollfd p = {fd_, POLLIN, 0};
    if (Left(deadline) == 0 || poll(&p, 1, Left(deadline)) < 0) return false;
  }
}

bool RawConnection::Call(const std::string& operation, const Cdr& body, RawReply* reply,
                         double seconds) {
  uint32_t id = next_id_++;
  if (!Send(RequestStart(id, key_, operation, body.size()) + body.bytes(), seconds)) return false;
  return Receive(reply, seconds) && reply->request_id == id;
}

}  // namespace test
}  // namespace zk
