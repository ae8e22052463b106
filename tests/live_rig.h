#pragma once
// The real binary at work: a site folder (INI files and DeviceFile) whose
// Modbus side is a pty served by an in-process Modbus RTU slave, and whose
// M-Bus side is a TCP server on loopback that the test connects to.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace liverig {

using Bytes = std::vector<uint8_t>;

// A Modbus RTU slave on the master end of a pty pair, run by its own thread:
// reads (03h, 04h) are answered from a register map and are silent when any
// register is missing; writes (10h) store their registers and get the usual
// echo; anything else is ignored.
class PtySlave {
 public:
  PtySlave();
  ~PtySlave();
  PtySlave(const PtySlave&) = delete;
  PtySlave& operator=(const PtySlave&) = delete;
  const std::string& devicePath() const { return devicePath_; }
  void SetRegister(uint8_t slave, uint16_t address, uint16_t value);
  bool HasRegister(uint8_t slave, uint16_t address);
  uint16_t Register(uint8_t slave, uint16_t address);
  int requests() const { return requests_; }
  // A silent slave hears requests but answers none (it has gone away).
  void SetSilent(bool silent) { silent_ = silent; }

 private:
  void Serve();
  void Handle(Bytes& pending);
  Bytes Answer(const Bytes& request);

  int master_ = -1;
  int slaveEnd_ = -1;  // kept open so the line never hangs up
  std::string devicePath_;
  std::mutex mutex_;
  std::map<uint32_t, uint16_t> registers_;  // slave << 16 | address
  std::atomic<bool> stop_{false};
  std::atomic<bool> silent_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A TCP M-Bus master on loopback.
class MBusMaster {
 public:
  ~MBusMaster();
  // Connects to 127.0.0.1:port, retrying until the gateway listens.
  bool Connect(int port, int deadlineMs);
  void Disconnect();
  bool Send(const Bytes& frame);
  // One answer: E5h, or a long frame of L + 6 bytes; empty after waitMs.
  Bytes Receive(int waitMs);

 private:
  int socket_ = -1;
};

// A loopback TCP port that was free a moment ago.
int FreeTcpPort();

// The MBusPort timeout of the site: a frame left incomplete this long is
// thrown away.
constexpr int kFrameTimeoutMs = 1000;

// Writes config/kestrel.ini, corvid_hw.ini, kestrel_default.ini and
// config/meters.xml below root: Modbus on the pty at parity N with the given
// poll count, M-Bus as a TCP server on lo:mbusPort.
void WriteSite(const std::string& root, const std::string& modbusDevice, int mbusPort,
               int modbusTimeout, const std::string& meters);

// Starts argv with KESTREL_ROOT=root, standard output and error to logPath.
pid_t Spawn(const std::string& root, const std::vector<std::string>& argv, const std::string& logPath);

// From /proc/<pid>: resident memory in KiB and the count of open descriptors.
long ResidentKib(pid_t pid);
int OpenDescriptors(pid_t pid);

}  // namespace liverig
