// The gateway under test: its files, its two sides and the running binary.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include <sstream>

#include "tests/harness.h"

namespace harness {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::WaitFor;
using testutil::WriteFile;

namespace {

constexpr size_t kTracePrefix = 14;  // time stamp or dump indentation
constexpr const char* kInMessage = "M-Bus in message\n";

}  // namespace

GatewayRig::GatewayRig() {
  WriteFile(root_ / "tmp/.keep", "");
}

GatewayRig::~GatewayRig() {
  master_.reset();
  gateway_.reset();  // kills the gateway before its lines go away
}

void GatewayRig::ModbusOnPty() {
  modbusSide_ = Side::kPty;
  PlugModbusLine();
}

// A new pty behind the link the gateway opens; the link is replaced in one
// rename, as udev replaces a /dev/serial/by-id link when an adapter returns.
void GatewayRig::PlugModbusLine() {
  modbusPty_ = std::make_unique<PtyPair>();
  slave_ = std::make_unique<ScriptedModbusSlave>(modbusPty_->fd());
  const std::string fresh = Path("modbus-line.new");
  if (symlink(modbusPty_->devicePath().c_str(), fresh.c_str()) != 0 ||
      std::rename(fresh.c_str(), modbusDevice().c_str()) != 0) {
    ADD_FAILURE() << "could not link " << modbusDevice() << " to " << modbusPty_->devicePath();
  }
}

void GatewayRig::DropModbusLine() {
  // The link goes first, so that the gateway can never follow it to a pty
  // that another test opens under the freed number.
  unlink(modbusDevice().c_str());
  slave_.reset();
  modbusPty_.reset();  // both ends closed: the device node is gone
}

void GatewayRig::RestoreModbusLine() { PlugModbusLine(); }

::testing::AssertionResult GatewayRig::ReconnectMBus() {
  master_.reset();
  master_ = MBusMaster::Tcp(mbusPort_);
  if (master_) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no new connection to the M-Bus port " << mbusPort_;
}

void GatewayRig::ModbusOnTcp() {
  slave_ = ScriptedModbusSlave::ListeningOnTcp();
  modbusSide_ = Side::kTcp;
}

void GatewayRig::MBusOnTcp() {
  mbusPort_ = porttest::FreePort(SOCK_STREAM);
  mbusSide_ = Side::kTcp;
}

void GatewayRig::MBusOnUdp() {
  mbusPort_ = porttest::FreePort(SOCK_DGRAM);
  mbusSide_ = Side::kUdp;
}

void GatewayRig::MBusOnPty() {
  mbusPty_ = std::make_unique<PtyPair>();
  mbusSide_ = Side::kPty;
}

std::string GatewayRig::ModbusSectionBody() const {
  if (!modbusSection_.empty()) return modbusSection_;
  switch (modbusSide_) {
    case Side::kPty:
      return "porttype = SER\nsercomport = RS485\nserbaudrate = 9600\nserbits = 8\nserparity = N\nserstopbit = 1\n";
    case Side::kTcp:
      return "porttype = TCP\nlocalip = LO\nremoteip = 127.0.0.1\nremoteport = " + std::to_string(slave_->port()) +
             "\nserver = 0\n";
    default:
      return "";
  }
}

std::string GatewayRig::MBusSectionBody() const {
  if (!mbusSection_.empty()) return mbusSection_;
  switch (mbusSide_) {
    case Side::kPty:
      // RS232: no echo suppression, a pty returns nothing of what is sent.
      return "porttype = SER\nsercomport = RS232\nserbaudrate = 2400\nserbits = 8\nserparity = N\nserstopbit = 1\n";
    case Side::kTcp:
      return "porttype = TCP\nlocalip = LO\nlocalport = " + std::to_string(mbusPort_) + "\nserver = 1\n";
    case Side::kUdp:
      return "porttype = UDP\nlocalip = LO\nlocalport = " + std::to_string(mbusPort_) + "\nserver = 1\n";
    default:
      return "";
  }
}

void GatewayRig::WriteFiles() {
  std::ostringstream main;
  main << "[Main]\n" << mainSection_ << "\n[ModbusPort]\n" << ModbusSectionBody() << "timeout = " << modbusTimeout_
       << "\n\n[MBusPort]\n" << MBusSectionBody() << "timeout = " << mbusTimeout_ << "\n";
  WriteFile(root_ / "config/kestrel.ini", main.str());

  std::ostringstream hardware;
  hardware << "[Main]\nLO = lo\nALL = all\n";
  if (modbusSide_ == Side::kPty) hardware << "RS485 = " << modbusDevice() << "\n";
  if (mbusPty_) hardware << "RS232 = " << mbusPty_->devicePath() << "\n";
  WriteFile(root_ / "config/corvid_hw.ini", hardware.str());

  WriteFile(root_ / "config/kestrel_default.ini", "[Main]\nenable_leds = no\n");
  if (!deviceFile_.empty()) WriteFile(root_ / "config/meters.xml", deviceFile_);
  if (tracing_) SwitchTracingOn();
}

::testing::AssertionResult GatewayRig::Start(Ms deadline) {
  WriteFiles();
  gateway_ = std::make_unique<testutil::Gateway>(root_.path(), launcher_);
  // The PidFile is written in the first main-loop cycle: bring-up is done.
  const bool looping = WaitFor([&] { return PidFile().size() >= 4 || !gateway_->Running(); }, deadline);
  if (!looping || !gateway_->Running()) {
    return ::testing::AssertionFailure() << "the gateway did not reach its main loop; StartupLog:\n"
                                         << StartupLog();
  }
  switch (mbusSide_) {
    case Side::kTcp:
      master_ = MBusMaster::Tcp(mbusPort_);
      break;
    case Side::kUdp:
      master_ = MBusMaster::Udp(mbusPort_);
      break;
    case Side::kPty:
      master_ = MBusMaster::OnPty(mbusPty_->fd());
      break;
    case Side::kNone:
      return ::testing::AssertionSuccess();
  }
  if (!master_) return ::testing::AssertionFailure() << "no connection to the M-Bus port " << mbusPort_;
  return ::testing::AssertionSuccess();
}

std::string GatewayRig::StartupLog() const { return ReadFile(root_ / "tmp/kestrel_startup.log"); }
std::string GatewayRig::RawTrace() const { return ReadFile(root_ / "tmp/kestrel.log"); }

std::string GatewayRig::Trace() const {
  std::istringstream lines(RawTrace());
  std::string line, text;
  while (std::getline(lines, line)) {
    text += line.size() >= kTracePrefix ? line.substr(kTracePrefix) : line;
    text += '\n';
  }
  return text;
}

Bytes GatewayRig::PidFile() const {
  const std::string content = ReadFile(root_ / "tmp/kestrel.pid");
  return Bytes(content.begin(), content.end());
}

void GatewayRig::SwitchTracingOn() {
  if (!FileExists(root_ / "tmp/kestrel.log")) WriteFile(root_ / "tmp/kestrel.log", "");
}

size_t GatewayRig::FramesTraced() const { return CountOf(RawTrace(), kInMessage); }

::testing::AssertionResult GatewayRig::SendTraced(const Bytes& bytes) {
  const size_t before = FramesTraced();
  master_->Send(bytes);
  if (WaitFor([&] { return FramesTraced() > before; }, kDeadline)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the gateway never traced " << ToHex(bytes);
}

Bytes GatewayRig::Ask(const Bytes& request, Ms deadline) {
  master_->Send(request);
  return master_->ReadFrame(deadline);
}

}  // namespace harness
