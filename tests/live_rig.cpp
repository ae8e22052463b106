#include "tests/live_rig.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "modbus/crc.h"
#include "tests/test_util.h"

namespace liverig {

namespace {

constexpr uint8_t kReadHolding = 0x03;
constexpr uint8_t kReadInput = 0x04;
constexpr uint8_t kWriteMultiple = 0x10;
constexpr size_t kReadRequestLength = 8;
constexpr size_t kWriteHeaderLength = 7;  // slave, function, address, count, byte count

Bytes WithCrc(Bytes frame) {
  const size_t length = frame.size();
  frame.resize(length + 2);
  AppendModbusCrc(frame.data(), static_cast<uint32_t>(length));
  return frame;
}

uint32_t Key(uint8_t slave, uint16_t address) { return static_cast<uint32_t>(slave) << 16 | address; }

uint16_t Word(const Bytes& bytes, size_t at) { return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]); }

// Length of the request at the front of pending, 0 while it is incomplete.
size_t RequestLength(const Bytes& pending) {
  if (pending.size() < 2) return 0;
  size_t length = kReadRequestLength;
  if (pending[1] == kWriteMultiple) {
    if (pending.size() < kWriteHeaderLength) return 0;
    length = kWriteHeaderLength + pending[6] + 2;
  }
  return pending.size() >= length ? length : 0;
}

}  // namespace

PtySlave::PtySlave() {
  char name[128] = {};
  if (openpty(&master_, &slaveEnd_, name, nullptr, nullptr) != 0) return;
  devicePath_ = name;
  fcntl(master_, F_SETFD, FD_CLOEXEC);  // the gateway opens the line itself
  fcntl(slaveEnd_, F_SETFD, FD_CLOEXEC);
  termios raw{};
  tcgetattr(slaveEnd_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slaveEnd_, TCSANOW, &raw);
  thread_ = std::thread([this] { Serve(); });
}

PtySlave::~PtySlave() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (master_ >= 0) close(master_);
  if (slaveEnd_ >= 0) close(slaveEnd_);
}

void PtySlave::SetRegister(uint8_t slave, uint16_t address, uint16_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  registers_[Key(slave, address)] = value;
}

bool PtySlave::HasRegister(uint8_t slave, uint16_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_.count(Key(slave, address)) != 0;
}

uint16_t PtySlave::Register(uint8_t slave, uint16_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_[Key(slave, address)];
}

void PtySlave::Serve() {
  Bytes pending;
  while (!stop_) {
    pollfd ready{master_, POLLIN, 0};
    if (poll(&ready, 1, 20) <= 0 || (ready.revents & POLLIN) == 0) continue;
    uint8_t chunk[256];
    const ssize_t got = read(master_, chunk, sizeof chunk);
    if (got <= 0) continue;
    pending.insert(pending.end(), chunk, chunk + got);
    Handle(pending);
  }
}

void PtySlave::Handle(Bytes& pending) {
  for (size_t length = RequestLength(pending); length != 0; length = RequestLength(pending)) {
    const Bytes request(pending.begin(), pending.begin() + static_cast<long>(length));
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
    ++requests_;
    if (silent_) continue;
    const Bytes answer = Answer(request);
    if (!answer.empty() && write(master_, answer.data(), answer.size()) < 0) return;
  }
}

Bytes PtySlave::Answer(const Bytes& request) {
  if (ModbusCrc(request.data(), static_cast<uint32_t>(request.size() - 2)) != Word(request, request.size() - 2)) {
    return {};
  }
  const uint8_t slave = request[0];
  const uint16_t start = Word(request, 2);
  const uint16_t count = Word(request, 4);
  std::lock_guard<std::mutex> lock(mutex_);
  if (request[1] == kWriteMultiple) {
    for (uint16_t i = 0; i < count; ++i) {
      registers_[Key(slave, static_cast<uint16_t>(start + i))] = Word(request, kWriteHeaderLength + 2u * i);
    }
    return WithCrc(Bytes(request.begin(), request.begin() + 6));
  }
  if (request[1] != kReadHolding && request[1] != kReadInput) return {};
  Bytes answer = {slave, request[1], static_cast<uint8_t>(2 * count)};
  for (uint16_t i = 0; i < count; ++i) {
    const auto found = registers_.find(Key(slave, static_cast<uint16_t>(start + i)));
    if (found == registers_.end()) return {};
    answer.push_back(static_cast<uint8_t>(found->second >> 8));
    answer.push_back(static_cast<uint8_t>(found->second & 0xFF));
  }
  return WithCrc(answer);
}

MBusMaster::~MBusMaster() { Disconnect(); }

bool MBusMaster::Connect(int port, int deadlineMs) {
  Disconnect();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return testutil::WaitFor(
      [&] {
        socket_ = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
          const int one = 1;
          setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          return true;
        }
        close(socket_);
        socket_ = -1;
        return false;
      },
      std::chrono::milliseconds(deadlineMs));
}

void MBusMaster::Disconnect() {
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}

bool MBusMaster::Send(const Bytes& frame) {
  return send(socket_, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}

Bytes MBusMaster::Receive(int waitMs) {
  Bytes answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (answer.size() == 1 && answer[0] == 0xE5) return answer;
    if (answer.size() >= 2 && answer.size() >= static_cast<size_t>(answer[1]) + 6) return answer;
    pollfd ready{socket_, POLLIN, 0};
    if (poll(&ready, 1, 10) <= 0) continue;
    uint8_t chunk[512];
    const ssize_t got = recv(socket_, chunk, sizeof chunk, 0);
    if (got <= 0) return answer;
    answer.insert(answer.end(), chunk, chunk + got);
  }
  return answer;
}

int FreeTcpPort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

void WriteSite(const std::string& root, const std::string& modbusDevice, int mbusPort, int modbusTimeout,
               const std::string& meters) {
  testutil::WriteFile(root + "/config/corvid_hw.ini", "[Main]\nRS485 = " + modbusDevice + "\nLO = lo\n");
  testutil::WriteFile(root + "/config/kestrel_default.ini", "[Main]\nenable_leds = no\n");
  testutil::WriteFile(root + "/config/kestrel.ini",
                      "[Main]\nFILENAME = meters.xml\nenable_leds = no\n"
                      "[ModbusPort]\nporttype = SER\nsercomport = RS485\nserbaudrate = 9600\nserbits = 8\n"
                      "serparity = N\nserstopbit = 1\ntimeout = " +
                          std::to_string(modbusTimeout) +
                          "\n[MBusPort]\nporttype = TCP\nlocalip = LO\nlocalport = " + std::to_string(mbusPort) +
                          "\nserver = 1\ntimeout = " + std::to_string(kFrameTimeoutMs) + "\n");
  testutil::WriteFile(root + "/config/meters.xml", "<?xml version=\"1.0\"?>\n<Meters>\n" + meters + "</Meters>\n");
}

pid_t Spawn(const std::string& root, const std::vector<std::string>& argv, const std::string& logPath) {
  // Everything is prepared before fork: the child of a threaded process may
  // only make async-signal-safe calls.
  std::vector<std::string> environment = {"KESTREL_ROOT=" + root};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "KESTREL_ROOT=", 13) != 0) environment.push_back(*entry);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  close(log);
  return pid;
}

long ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

int OpenDescriptors(pid_t pid) {
  DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (folder == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(folder);
  return count;
}

}  // namespace liverig
