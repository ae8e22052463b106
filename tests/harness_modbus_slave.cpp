// The scripted Modbus RTU slave of the harness.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "tests/harness.h"

namespace harness {

namespace {

constexpr uint8_t kReadHolding = 0x03;
constexpr uint8_t kReadInput = 0x04;
constexpr uint8_t kWriteSingle = 0x06;
constexpr uint8_t kWriteMultiple = 0x10;
constexpr uint8_t kIllegalFunction = 0x01;
constexpr size_t kFixedRequestLength = 8;
constexpr size_t kWriteHeaderLength = 7;  // up to and including the byte count
// Bytes of a request that never completes are dropped after this long.
constexpr Ms kStaleRequest{1000};
constexpr Ms kPollStep{5};

uint16_t Word(const Bytes& frame, size_t at) { return static_cast<uint16_t>(frame[at] << 8 | frame[at + 1]); }

void PutWord(Bytes& frame, uint16_t value) {
  frame.push_back(static_cast<uint8_t>(value >> 8));
  frame.push_back(static_cast<uint8_t>(value));
}

// Length of the request at the start of bytes, or 0 while it is incomplete.
size_t RequestLength(const Bytes& bytes) {
  if (bytes.size() < 2) return 0;
  if (bytes[1] != kWriteMultiple) return bytes.size() >= kFixedRequestLength ? kFixedRequestLength : 0;
  if (bytes.size() < kWriteHeaderLength) return 0;
  const size_t length = 9 + bytes[6];
  return bytes.size() >= length ? length : 0;
}

Bytes ExceptionAnswer(const Bytes& request, uint8_t code) {
  return WithCrc({request[0], static_cast<uint8_t>(request[1] | 0x80), code});
}

}  // namespace

ScriptedModbusSlave::ScriptedModbusSlave(int ptyFd) : ScriptedModbusSlave(ptyFd, false) {}

ScriptedModbusSlave::ScriptedModbusSlave(int fd, bool listening) {
  if (listening) {
    listenFd_ = fd;
    port_ = porttest::LocalPort(fd);
  } else {
    fd_ = fd;
  }
  thread_ = std::thread([this] { Serve(); });
}

std::unique_ptr<ScriptedModbusSlave> ScriptedModbusSlave::ListeningOnTcp() {
  return std::unique_ptr<ScriptedModbusSlave>(new ScriptedModbusSlave(porttest::ListeningTcpSocket(), true));
}

ScriptedModbusSlave::~ScriptedModbusSlave() {
  stop_ = true;
  thread_.join();
  if (listenFd_ >= 0) {
    DropConnection();
    close(listenFd_);
  }
}

void ScriptedModbusSlave::SetHolding(uint8_t slave, uint16_t address, const std::vector<uint16_t>& values) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < values.size(); ++i) holding_[{slave, static_cast<uint16_t>(address + i)}] = values[i];
}

void ScriptedModbusSlave::SetInput(uint8_t slave, uint16_t address, const std::vector<uint16_t>& values) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < values.size(); ++i) input_[{slave, static_cast<uint16_t>(address + i)}] = values[i];
}

uint16_t ScriptedModbusSlave::Holding(uint8_t slave, uint16_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = holding_.find({slave, address});
  return found == holding_.end() ? 0 : found->second;
}

void ScriptedModbusSlave::AnswerOnly(const std::set<uint8_t>& slaves) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerOnly_ = slaves;
}

void ScriptedModbusSlave::Then(const ModbusReply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(reply);
}

std::vector<Bytes> ScriptedModbusSlave::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t ScriptedModbusSlave::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool ScriptedModbusSlave::WaitForRequests(size_t count, Ms deadline) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] { return requests_.size() >= count; });
}

void ScriptedModbusSlave::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

size_t ScriptedModbusSlave::BadCrcCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return badCrc_;
}

void ScriptedModbusSlave::Serve() {
  while (!stop_) PollOnce();
}

void ScriptedModbusSlave::PollOnce() {
  pollfd fds[2];
  nfds_t count = 0;
  if (fd_ >= 0) fds[count++] = {fd_, POLLIN, 0};
  if (listenFd_ >= 0) fds[count++] = {listenFd_, POLLIN, 0};
  poll(fds, count, static_cast<int>(kPollStep.count()));

  if (listenFd_ >= 0 && (fds[count - 1].revents & POLLIN)) {
    const int accepted = accept(listenFd_, nullptr, nullptr);
    if (accepted >= 0) {
      DropConnection();
      fcntl(accepted, F_SETFL, fcntl(accepted, F_GETFL) | O_NONBLOCK);
      fd_ = accepted;
    }
  }
  if (fd_ >= 0) {
    uint8_t chunk[512];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n > 0) TakeBytes(chunk, static_cast<size_t>(n));
    if (n == 0 && listenFd_ >= 0) DropConnection();
  }
  if (!inbox_.empty() && std::chrono::steady_clock::now() - inboxSince_ > kStaleRequest) inbox_.clear();
  SendDue();
}

void ScriptedModbusSlave::DropConnection() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  inbox_.clear();
}

void ScriptedModbusSlave::TakeBytes(const uint8_t* data, size_t count) {
  if (inbox_.empty()) inboxSince_ = std::chrono::steady_clock::now();
  inbox_.insert(inbox_.end(), data, data + count);
  for (size_t length = RequestLength(inbox_); length > 0; length = RequestLength(inbox_)) {
    const Bytes request(inbox_.begin(), inbox_.begin() + static_cast<long>(length));
    inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<long>(length));
    inboxSince_ = std::chrono::steady_clock::now();
    HandleRequest(request);
  }
}

void ScriptedModbusSlave::HandleRequest(const Bytes& request) {
  std::unique_lock<std::mutex> lock(mutex_);
  requests_.push_back(request);
  changed_.notify_all();
  if (!CrcIsValid(request)) {
    ++badCrc_;
    return;
  }
  if (!answerOnly_.empty() && answerOnly_.count(request[0]) == 0) return;
  ModbusReply reply;
  if (!script_.empty()) {
    reply = script_.front();
    script_.pop_front();
  }
  Bytes answer;
  switch (reply.kind) {
    case ModbusReply::Kind::kSilent:
      return;
    case ModbusReply::Kind::kRaw:
      answer = reply.raw;
      break;
    case ModbusReply::Kind::kException:
      answer = ExceptionAnswer(request, reply.exceptionCode);
      break;
    case ModbusReply::Kind::kBadCrc:
      answer = NormalAnswer(request);
      answer.back() ^= 0xFF;
      break;
    case ModbusReply::Kind::kAnswer:
      answer = NormalAnswer(request);
      break;
  }
  outbox_.push_back({std::chrono::steady_clock::now() + Ms(reply.delayMs), answer});
}

Bytes ScriptedModbusSlave::NormalAnswer(const Bytes& request) {
  switch (request[1]) {
    case kReadHolding:
      return ReadAnswer(request, holding_);
    case kReadInput:
      return ReadAnswer(request, input_);
    case kWriteSingle:
      holding_[{request[0], Word(request, 2)}] = Word(request, 4);
      return request;  // the echo
    case kWriteMultiple:
      return WriteAnswer(request);
    default:
      return ExceptionAnswer(request, kIllegalFunction);
  }
}

Bytes ScriptedModbusSlave::ReadAnswer(const Bytes& request, const RegisterMap& map) const {
  const uint16_t first = Word(request, 2);
  const uint16_t quantity = Word(request, 4);
  Bytes answer{request[0], request[1], static_cast<uint8_t>(2 * quantity)};
  for (uint16_t i = 0; i < quantity; ++i) {
    const auto found = map.find({request[0], static_cast<uint16_t>(first + i)});
    PutWord(answer, found == map.end() ? 0 : found->second);
  }
  return WithCrc(answer);
}

Bytes ScriptedModbusSlave::WriteAnswer(const Bytes& request) {
  const uint16_t first = Word(request, 2);
  const uint16_t quantity = Word(request, 4);
  for (uint16_t i = 0; i < quantity && 7u + 2u * i + 1 < request.size() - 2; ++i) {
    holding_[{request[0], static_cast<uint16_t>(first + i)}] = Word(request, 7 + 2 * i);
  }
  Bytes answer(request.begin(), request.begin() + 6);
  return WithCrc(answer);
}

void ScriptedModbusSlave::SendDue() {
  const auto now = std::chrono::steady_clock::now();
  std::vector<Bytes> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto ready = std::stable_partition(outbox_.begin(), outbox_.end(),
                                       [&](const Pending& pending) { return pending.due <= now; });
    for (auto it = outbox_.begin(); it != ready; ++it) due.push_back(it->bytes);
    outbox_.erase(outbox_.begin(), ready);
  }
  for (const Bytes& bytes : due) {
    if (fd_ >= 0 && !bytes.empty()) {
      const ssize_t written = write(fd_, bytes.data(), bytes.size());
      (void)written;  // a line the gateway has dropped just loses the answer
    }
  }
}

}  // namespace harness
