#include "bench/modbus_tcp_double.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr size_t kHeaderLength = 7;  // transaction, protocol, length, unit
constexpr size_t kLengthIndex = 4;
constexpr size_t kFunctionIndex = 7;
constexpr size_t kCountIndex = 10;
constexpr size_t kReadRequestLength = 12;  // header, function, first register, count
constexpr size_t kLongestFrame = 260;
constexpr uint8_t kReadHolding = 0x03;
constexpr uint8_t kReadInput = 0x04;
constexpr uint8_t kExceptionFlag = 0x80;
constexpr uint8_t kIllegalFunction = 0x01;
constexpr int kMostRegisters = 125;
// A double left running by a benchmark that lost its way stops by itself.
constexpr auto kLongestService = std::chrono::minutes(30);

int Field(const std::vector<uint8_t>& bytes, size_t index) { return bytes[index] << 8 | bytes[index + 1]; }

void PutField(std::vector<uint8_t>& bytes, size_t index, int value) {
  bytes[index] = static_cast<uint8_t>(value >> 8);
  bytes[index + 1] = static_cast<uint8_t>(value);
}

// The whole frame at the start of held: its length, 0 while incomplete, -1
// for bytes no request starts with.
long FrameLength(const std::vector<uint8_t>& held) {
  if (held.size() < kHeaderLength) return 0;
  const size_t length = kLengthIndex + 2 + static_cast<size_t>(Field(held, kLengthIndex));
  if (Field(held, 2) != 0 || length <= kHeaderLength || length > kLongestFrame) return -1;
  return held.size() < length ? 0 : static_cast<long>(length);
}

// Zeros for a read of 1 to 125 registers; exception 01h for anything else.
std::vector<uint8_t> AnswerTo(const std::vector<uint8_t>& request, size_t length) {
  const uint8_t function = request[kFunctionIndex];
  const int count = length == kReadRequestLength ? Field(request, kCountIndex) : 0;
  const bool read = (function == kReadHolding || function == kReadInput) && count >= 1 && count <= kMostRegisters;
  const size_t pdu = read ? 2 + 2 * static_cast<size_t>(count) : 2;
  std::vector<uint8_t> answer(request.begin(), request.begin() + kHeaderLength);
  answer.resize(kHeaderLength + pdu);
  PutField(answer, kLengthIndex, static_cast<int>(pdu + 1));  // the unit identifier, then the PDU
  answer[kFunctionIndex] = read ? function : static_cast<uint8_t>(function | kExceptionFlag);
  answer[kFunctionIndex + 1] = read ? static_cast<uint8_t>(2 * count) : kIllegalFunction;
  return answer;
}

}  // namespace

ModbusTcpDouble::ModbusTcpDouble(int answerAfterMs) : answerAfterMs_(answerAfterMs) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wake_ = eventfd(0, EFD_CLOEXEC);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const bool listening = listener_ >= 0 && wake_ >= 0 &&
                         bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                         listen(listener_, 1) == 0 &&
                         getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  if (!listening) return;
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

ModbusTcpDouble::~ModbusTcpDouble() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof one) == sizeof one) thread_.join();
    else thread_.detach();  // cannot be told: it ends within kLongestService
  }
  Disconnect();
  if (listener_ >= 0) close(listener_);
  if (wake_ >= 0) close(wake_);
}

// Until the destructor says stop, or kLongestService has passed.
void ModbusTcpDouble::Serve() {
  const Clock::time_point end = Clock::now() + kLongestService;
  while (Clock::now() < end) {
    pollfd watched[3] = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}, {connection_, POLLIN, 0}};
    const nfds_t count = connection_ >= 0 ? 3 : 2;
    if (poll(watched, count, PollTimeoutMs(end)) < 0) return;
    if (watched[0].revents != 0) return;
    if (watched[1].revents != 0) Accept();
    if (count == 3 && watched[2].revents != 0) Receive();
    SendDue();
  }
}

// Until the first answer owed is due, or the end of service.
int ModbusTcpDouble::PollTimeoutMs(Clock::time_point end) const {
  const Clock::time_point next = owed_.empty() ? end : std::min(end, owed_.front().due);
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
  return static_cast<int>(std::max<long>(0, static_cast<long>(ms)));
}

void ModbusTcpDouble::Accept() {
  const int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (accepted < 0) return;
  Disconnect();
  connection_ = accepted;
}

void ModbusTcpDouble::Receive() {
  uint8_t chunk[512];
  const ssize_t n = read(connection_, chunk, sizeof chunk);
  if (n <= 0) {
    Disconnect();
    return;
  }
  held_.insert(held_.end(), chunk, chunk + n);
  TakeRequests();
}

// Every whole request held, each answer owed from now; bytes no request
// starts with are dropped one by one.
void ModbusTcpDouble::TakeRequests() {
  for (long length = FrameLength(held_); length != 0; length = FrameLength(held_)) {
    if (length < 0) {
      held_.erase(held_.begin());
      continue;
    }
    ++requests_;
    if (!owed_.empty()) ++overlapping_;
    owed_.push_back({Clock::now() + std::chrono::milliseconds(answerAfterMs_),
                     AnswerTo(held_, static_cast<size_t>(length))});
    held_.erase(held_.begin(), held_.begin() + length);
  }
}

void ModbusTcpDouble::SendDue() {
  while (!owed_.empty() && owed_.front().due <= Clock::now()) {
    const std::vector<uint8_t>& answer = owed_.front().answer;
    if (send(connection_, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
      Disconnect();  // owes nothing any more
      return;
    }
    owed_.pop_front();
  }
}

// What came over the connection goes with it.
void ModbusTcpDouble::Disconnect() {
  if (connection_ >= 0) close(connection_);
  connection_ = -1;
  held_.clear();
  owed_.clear();
}
