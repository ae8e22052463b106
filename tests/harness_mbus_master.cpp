// The M-Bus master of the harness: one byte stream (TCP, a connected UDP
// socket or a pty end) cut into frames by their start and length bytes.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "tests/harness.h"

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

bool ConnectTo(int fd, uint16_t port) {
  const sockaddr_in address = porttest::Loopback("127.0.0.1", port);
  return connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

int RemainingMs(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<Ms>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::unique_ptr<MBusMaster> MBusMaster::Tcp(uint16_t port, Ms deadline) {
  const auto end = Clock::now() + deadline;
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    if (ConnectTo(fd, port)) return std::unique_ptr<MBusMaster>(new MBusMaster(fd, true));
    close(fd);
    if (Clock::now() >= end) return nullptr;
    std::this_thread::sleep_for(Ms(10));
  }
}

std::unique_ptr<MBusMaster> MBusMaster::Udp(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0 || !ConnectTo(fd, port)) throw std::runtime_error("UDP socket failed");
  return std::unique_ptr<MBusMaster>(new MBusMaster(fd, true));
}

std::unique_ptr<MBusMaster> MBusMaster::OnPty(int ptyFd) {
  return std::unique_ptr<MBusMaster>(new MBusMaster(ptyFd, false));
}

MBusMaster::~MBusMaster() {
  if (owned_) close(fd_);
}

void MBusMaster::Send(const Bytes& bytes) {
  const ssize_t written = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (written == -1 && errno == ENOTSOCK) {
    if (write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) return;
  } else if (written == static_cast<ssize_t>(bytes.size())) {
    return;
  }
  ADD_FAILURE() << "M-Bus master could not send " << ToHex(bytes);
}

bool MBusMaster::ReadSome(Ms wait) {
  pollfd watch{fd_, POLLIN, 0};
  if (poll(&watch, 1, static_cast<int>(wait.count())) <= 0) return false;
  uint8_t chunk[1024];
  const ssize_t n = read(fd_, chunk, sizeof chunk);
  // A UDP socket may report a refused earlier datagram; a pty end with no
  // data says EAGAIN. Neither is data.
  if (n <= 0) {
    if (n == 0) std::this_thread::sleep_for(Ms(1));
    return false;
  }
  pending_.insert(pending_.end(), chunk, chunk + n);
  return true;
}

size_t MBusMaster::CompleteFrameLength() const {
  if (pending_.empty()) return 0;
  switch (pending_[0]) {
    case kAck:
      return 1;
    case 0x10:
      return pending_.size() >= 5 ? 5 : 0;
    case 0x68: {
      if (pending_.size() < 2) return 0;
      const size_t length = pending_[1] + 6u;
      return pending_.size() >= length ? length : 0;
    }
    default:
      return pending_.size();  // no frame at all: hand it over as it is
  }
}

Bytes MBusMaster::ReadFrame(Ms deadline) {
  const auto end = Clock::now() + deadline;
  size_t length = CompleteFrameLength();
  while (length == 0 && RemainingMs(end) > 0) {
    ReadSome(Ms(RemainingMs(end)));
    length = CompleteFrameLength();
  }
  if (length == 0) length = pending_.size();
  Bytes frame(pending_.begin(), pending_.begin() + static_cast<long>(length));
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
  return frame;
}

::testing::AssertionResult MBusMaster::ExpectSilence(Ms period) {
  const auto end = Clock::now() + period;
  while (RemainingMs(end) > 0) ReadSome(Ms(RemainingMs(end)));
  if (pending_.empty()) return ::testing::AssertionSuccess();
  const Bytes heard = pending_;
  pending_.clear();
  return ::testing::AssertionFailure() << "the gateway sent " << ToHex(heard);
}

}  // namespace harness
