#pragma once
// Integration harness: real pseudo-terminals, a scripted Modbus RTU slave, an
// M-Bus master on TCP, UDP or a pty, frame builders with checksums computed
// here (not by the gateway's code), and a gateway run under its own root.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/mbus_frames.h"
#include "tests/port_test_util.h"
#include "tests/test_util.h"

namespace harness {

using Bytes = std::vector<uint8_t>;
using Ms = std::chrono::milliseconds;

// Generous enough for a loaded two-core machine; only failures wait this long.
constexpr Ms kDeadline{10000};

// "68 0f 0F 68" -> bytes (white space between pairs is optional).
Bytes Hex(const std::string& text);
// Bytes as upper-case pairs separated by spaces, for readable failures.
std::string ToHex(const Bytes& bytes);
Bytes operator+(Bytes head, const Bytes& tail);
// How often part occurs in text (for trace lines).
size_t CountOf(const std::string& text, const std::string& part);
// A TraceLog hex dump as GatewayRig::Trace shows it: "10 5b 05 60 16 \n\n".
std::string TraceDump(const Bytes& bytes);

// ---- M-Bus frames, as a master writes them -------------------------------

uint8_t MBusSum(const Bytes& bytes, size_t from, size_t count);
using mbusframes::LongFrame;
using mbusframes::ShortFrame;
Bytes ReqUd2(uint8_t a, bool fcb = false);
Bytes SndNke(uint8_t a);
Bytes Selection(const Bytes& pattern);            // C 53h, A FDh, CI 52h
Bytes ApplicationReset(uint8_t a);                // CI 50h, no data
// SND_UD (CI 51h): DIF and VIF filler, the object number, the value bytes.
Bytes SndUd(uint8_t a, uint8_t objectNumber, const Bytes& value);

// The RSP_UD a meter must send; idNumber as written in the DeviceFile
// (0x12345678 goes out as 78 56 34 12).
Bytes RspUd(uint8_t a, uint32_t idNumber, uint8_t medium, uint8_t access,
            const Bytes& records = {}, uint8_t status = 0);
constexpr uint8_t kAck = 0xE5;
constexpr size_t kAccessOffset = 15;  // access number in an RSP_UD

// ---- Modbus RTU ----------------------------------------------------------

Bytes WithCrc(Bytes frame);  // appends the CRC, high byte of ModbusCrc first
bool CrcIsValid(const Bytes& frame);

// ---- Pseudo-terminal -----------------------------------------------------

// A pty with both ends raw at parity N. The test talks on fd(); the gateway
// opens devicePath(). The test keeps the slave end open too, so the line
// survives the gateway closing and reopening it.
class PtyPair {
 public:
  PtyPair();
  int fd() const { return pty_.master; }
  const std::string& devicePath() const { return pty_.slavePath; }
  // Hangs the line up (TIOCVHANGUP): every descriptor open on the device
  // side goes dead, the device stays. false when not permitted.
  bool HangUp();

 private:
  porttest::Pty pty_;
};

// ---- Scripted Modbus RTU slave -------------------------------------------

// How one request is answered (queued with ScriptedModbusSlave::Then).
struct ModbusReply {
  enum class Kind { kAnswer, kSilent, kBadCrc, kException, kRaw };
  Kind kind = Kind::kAnswer;
  int delayMs = 0;
  uint8_t exceptionCode = 0;
  Bytes raw;

  static ModbusReply Answer(int delayMs = 0) { return {Kind::kAnswer, delayMs, 0, {}}; }
  static ModbusReply Silent() { return {Kind::kSilent, 0, 0, {}}; }
  static ModbusReply BadCrc() { return {Kind::kBadCrc, 0, 0, {}}; }
  static ModbusReply Exception(uint8_t code) { return {Kind::kException, 0, code, {}}; }
  static ModbusReply Raw(Bytes bytes) { return {Kind::kRaw, 0, 0, std::move(bytes)}; }
};

// Serves Modbus RTU on a pty end or on TCP (listening on 127.0.0.1, serving
// the newest connection). Requests are framed by function code (10h: 9 bytes
// plus the byte count, others 8), recorded byte for byte and, when their CRC
// is valid, answered from per-slave register maps (registers never set read
// as 0; 10h writes into the holding map) unless a queued reply says otherwise.
class ScriptedModbusSlave {
 public:
  explicit ScriptedModbusSlave(int ptyFd);  // the fd stays the caller's
  static std::unique_ptr<ScriptedModbusSlave> ListeningOnTcp();
  ~ScriptedModbusSlave();
  ScriptedModbusSlave(const ScriptedModbusSlave&) = delete;
  ScriptedModbusSlave& operator=(const ScriptedModbusSlave&) = delete;

  uint16_t port() const { return port_; }  // TCP only

  void SetHolding(uint8_t slave, uint16_t address, const std::vector<uint16_t>& values);
  void SetInput(uint8_t slave, uint16_t address, const std::vector<uint16_t>& values);
  uint16_t Holding(uint8_t slave, uint16_t address) const;
  // Only these slave addresses are answered (an empty set: all of them).
  void AnswerOnly(const std::set<uint8_t>& slaves);
  // The next answerable request gets this reply; replies queue in order.
  void Then(const ModbusReply& reply);

  std::vector<Bytes> Requests() const;
  size_t RequestCount() const;
  bool WaitForRequests(size_t count, Ms deadline = kDeadline) const;
  void ClearRequests();
  size_t BadCrcCount() const;

 private:
  struct Pending {
    std::chrono::steady_clock::time_point due;
    Bytes bytes;
  };
  using RegisterMap = std::map<std::pair<uint8_t, uint16_t>, uint16_t>;

  ScriptedModbusSlave(int fd, bool listening);
  void Serve();
  void PollOnce();
  void TakeBytes(const uint8_t* data, size_t count);
  void HandleRequest(const Bytes& request);
  Bytes NormalAnswer(const Bytes& request);
  Bytes ReadAnswer(const Bytes& request, const RegisterMap& map) const;
  Bytes WriteAnswer(const Bytes& request);
  void SendDue();
  void DropConnection();

  int fd_ = -1;          // pty end or accepted connection
  int listenFd_ = -1;    // TCP only
  uint16_t port_ = 0;
  Bytes inbox_;
  std::chrono::steady_clock::time_point inboxSince_;
  std::vector<Pending> outbox_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  RegisterMap holding_, input_;
  std::set<uint8_t> answerOnly_;
  std::deque<ModbusReply> script_;
  std::vector<Bytes> requests_;
  size_t badCrc_ = 0;

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- M-Bus master --------------------------------------------------------

class MBusMaster {
 public:
  // Connects to 127.0.0.1:port, retrying until the gateway listens.
  static std::unique_ptr<MBusMaster> Tcp(uint16_t port, Ms deadline = kDeadline);
  static std::unique_ptr<MBusMaster> Udp(uint16_t port);
  static std::unique_ptr<MBusMaster> OnPty(int ptyFd);  // fd stays the caller's
  ~MBusMaster();
  MBusMaster(const MBusMaster&) = delete;
  MBusMaster& operator=(const MBusMaster&) = delete;

  void Send(const Bytes& bytes);  // one write (one datagram over UDP)
  // E5h, or a whole short or long frame (by its length bytes); on the deadline
  // whatever arrived (possibly nothing). Anything else is returned at once.
  Bytes ReadFrame(Ms deadline = kDeadline);
  // Success when not a single byte arrives during the period.
  ::testing::AssertionResult ExpectSilence(Ms period);

 private:
  MBusMaster(int fd, bool owned) : fd_(fd), owned_(owned) {}
  bool ReadSome(Ms wait);
  size_t CompleteFrameLength() const;

  int fd_;
  bool owned_;
  Bytes pending_;
};

// ---- The gateway under test ----------------------------------------------

// Writes kestrel.ini, corvid_hw.ini, kestrel_default.ini and the DeviceFile
// into a fresh root (config/ and tmp/), wires the Modbus side to a scripted
// slave and the M-Bus side to a master, and runs the real binary there.
class GatewayRig {
 public:
  GatewayRig();
  ~GatewayRig();

  // Modbus side (choose one before Start).
  void ModbusOnPty();
  void ModbusOnTcp();
  // M-Bus side (choose one before Start).
  void MBusOnTcp();
  void MBusOnUdp();
  void MBusOnPty();
  // Raw section bodies for ports that are meant not to work.
  void SetModbusSection(const std::string& body) { modbusSection_ = body; }
  void SetMBusSection(const std::string& body) { mbusSection_ = body; }

  void SetModbusTimeout(int polls) { modbusTimeout_ = polls; }
  int modbusTimeout() const { return modbusTimeout_; }
  void SetMBusTimeout(int ms) { mbusTimeout_ = ms; }
  void SetDeviceFile(const std::string& xml) { deviceFile_ = xml; }
  void SetMainSection(const std::string& body) { mainSection_ = body; }
  void SetTracing(bool on) { tracing_ = on; }

  void WriteFiles();  // what Start does before launching
  // Runs the binary through a launcher (valgrind and its options).
  void SetLauncher(const std::vector<std::string>& launcher) { launcher_ = launcher; }
  // Starts the binary, waits for its first main-loop cycle (PidFile) and
  // connects the M-Bus master.
  ::testing::AssertionResult Start(Ms deadline = kDeadline);

  // Failing peers. The Modbus slave closes its end of the line (the device
  // disappears) and later comes back as a new device behind the same path,
  // with empty registers; the M-Bus line hangs up; the TCP master leaves and
  // another connects.
  void DropModbusLine();
  void RestoreModbusLine();
  bool HangUpMBusLine() { return mbusPty_->HangUp(); }
  ::testing::AssertionResult ReconnectMBus();

  const testutil::TempDir& root() const { return root_; }
  std::string Path(const std::string& relative) const { return root_ / relative; }
  bool HasSlave() const { return slave_ != nullptr; }
  ScriptedModbusSlave& slave() { return *slave_; }
  MBusMaster& master() { return *master_; }
  testutil::Gateway& process() { return *gateway_; }
  uint16_t mbusPort() const { return mbusPort_; }
  // The path the gateway opens: a link to the current Modbus pty.
  std::string modbusDevice() const { return modbusSide_ == Side::kPty ? Path("modbus-line") : ""; }
  std::string mbusDevice() const { return mbusPty_ ? mbusPty_->devicePath() : ""; }

  std::string StartupLog() const;
  std::string RawTrace() const;
  // TraceLog with the 14-character prefix (time stamp or dump indentation)
  // taken off every line, e.g. "M-Bus in message\n10 5b 05 60 16 \n\n".
  std::string Trace() const;
  Bytes PidFile() const;
  void SwitchTracingOn();  // creates tmp/kestrel.log

  // Number of "M-Bus in message" lines so far.
  size_t FramesTraced() const;
  // Sends bytes and waits until the gateway has traced them as received
  // (only for bytes that end a read: a short frame, junk, a whole long frame).
  ::testing::AssertionResult SendTraced(const Bytes& bytes);
  // Sends a request and returns what comes back (see ReadFrame).
  Bytes Ask(const Bytes& request, Ms deadline = kDeadline);

 private:
  enum class Side { kNone, kPty, kTcp, kUdp };
  std::string ModbusSectionBody() const;
  std::string MBusSectionBody() const;
  void PlugModbusLine();

  testutil::TempDir root_;
  std::unique_ptr<PtyPair> modbusPty_, mbusPty_;
  std::unique_ptr<ScriptedModbusSlave> slave_;
  std::unique_ptr<MBusMaster> master_;
  std::unique_ptr<testutil::Gateway> gateway_;
  Side modbusSide_ = Side::kNone, mbusSide_ = Side::kNone;
  uint16_t mbusPort_ = 0;
  std::string modbusSection_, mbusSection_;
  std::string mainSection_ = "FILENAME = meters.xml\nenable_leds = no\n";
  std::string deviceFile_;
  // Polls of about 1 ms. A pty hands bytes on through a kernel worker, which
  // on a busy machine was seen to lag by half a second; a slave that is
  // meant to answer must never miss this.
  int modbusTimeout_ = 1000;
  int mbusTimeout_ = 2000;
  bool tracing_ = true;
  std::vector<std::string> launcher_;
};

}  // namespace harness
