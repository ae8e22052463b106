#pragma once
// One interface for every port the gateway talks through: a serial line
// (TSER), a TCP connection (TTCP) or a UDP socket (TUDP). Every operation
// returns at once; Read never waits for data. Whoever waits for a port asks
// it what to wait on (WatchInput) and then reads.
#include <cstdint>
#include <string>

#include "support/counters.h"
#include "support/wait_set.h"

namespace kestrel {

// Port mode codes, as the port factory maps porttype and sercomport.
// Anything above kModeUdp is a serial line.
constexpr int kModeTcp = 0;
constexpr int kModeUdp = 1;
constexpr int kModeRs232 = 2;
constexpr int kModeRs485 = 3;
constexpr int kModeMBusMaster = 4;
constexpr int kModeMBusSlave = 5;  // the line echoes what we send: TSER drops the echo

inline bool IsSerialMode(int mode) { return mode > kModeUdp; }

// How Modbus requests and answers travel on the port (key framing): as RTU
// frames with their CRC, or behind an MBAP header without one, as Modbus
// TCP devices speak.
enum class ModbusFraming { kRtu, kMbap };

class TPort {
 public:
  virtual ~TPort() = default;

  virtual bool Open() = 0;
  virtual bool InitSocket(const std::string& localInterface, uint16_t localPort,
                          const std::string& remoteHost, uint16_t remotePort, bool server) = 0;
  virtual bool InitSerial(const std::string& device, int baudRate, int dataBits, char parity,
                          int stopBits, int mode) = 0;
  virtual char GetParity() = 0;
  virtual void SetParity(char parity) = 0;
  virtual bool SetTimeout(int seconds) = 0;
  virtual bool Close() = 0;
  virtual bool Write(const uint8_t* data, int length) = 0;
  // true when count > 0 bytes were stored in buffer; count is 0 otherwise.
  virtual bool Read(uint8_t* buffer, int maxLength, int& count) = 0;
  virtual int GetStatus() { return 0; }
  virtual int GetMode() { return mode_; }
  // Adds to wait what ends it when Read may have something to do: the
  // descriptors whose input (data, a connection, a hang-up) Read takes, and
  // the time of any work Read does by itself (reopening a line). A port that
  // has nothing of the kind adds nothing.
  virtual void WatchInput(WaitSet& wait) = 0;
  // Whether a request sent now can reach its device. Only a TCP client that
  // reconnects knows when it cannot (no connection yet, or a connect still
  // under way); every other port answers true, its failures show as missing
  // answers.
  virtual bool Connected() { return true; }
  // Which connection Read reads: a number that changes whenever a newer
  // connection is taken (a TCP server's next master, also one that takes
  // over). The Read that takes it brings no data. 0 for every other port.
  virtual unsigned Connection() const { return 0; }

  void SetMode(int mode) { mode_ = mode; }
  void SetFraming(ModbusFraming framing) { framing_ = framing; }
  ModbusFraming GetFraming() const { return framing_; }
  // Peers taken and refused, connections lost and made again, for monitoring.
  const PortCounters& Counters() const { return counters_; }

 protected:
  int mode_ = kModeTcp;
  ModbusFraming framing_ = ModbusFraming::kRtu;
  PortCounters counters_;
};

}  // namespace kestrel
