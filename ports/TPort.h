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

// What a port is, as the port factory maps porttype and sercomport.
enum class PortMode : uint8_t {
  kTcp,
  kUdp,
  kRs232,
  kRs485,
  kMBusMaster,
  kMBusSlave,  // the line echoes what we send: TSER drops the echo
};

inline bool IsSerialMode(PortMode mode) { return mode != PortMode::kTcp && mode != PortMode::kUdp; }

// What a serial line adds to a port: its parity, which the Modbus side
// changes between requests for a slave that wants another.
class SerialParity {
 public:
  virtual char GetParity() const = 0;
  virtual void SetParity(char parity) = 0;

 protected:
  ~SerialParity() = default;
};

// How Modbus requests and answers travel on the port (key framing): as RTU
// frames with their CRC, or behind an MBAP header without one, as Modbus
// TCP devices speak.
enum class ModbusFraming { kRtu, kMbap };

class TPort {
 public:
  virtual ~TPort() = default;

  virtual bool Open() = 0;
  virtual bool Close() = 0;
  // Whether the port is open and, on a TCP client, holds its connection, as
  // far as it knows without asking the peer (for monitoring).
  virtual bool IsOpen() const = 0;
  virtual bool Write(const uint8_t* data, int length) = 0;
  // true when count > 0 bytes were stored in buffer; count is 0 otherwise.
  virtual bool Read(uint8_t* buffer, int maxLength, int& count) = 0;
  // The serial line's parity; nullptr for a socket, which has none.
  virtual SerialParity* Parity() { return nullptr; }
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

  PortMode GetMode() const { return mode_; }
  void SetMode(PortMode mode) { mode_ = mode; }
  void SetFraming(ModbusFraming framing) { framing_ = framing; }
  ModbusFraming GetFraming() const { return framing_; }
  // Peers taken and refused, connections lost and made again, for monitoring.
  const PortCounters& Counters() const { return counters_; }
  // Where the port's own trace lines say it belongs: " (link roof)" for a
  // Modbus link of its own; empty, as ever, for the others.
  void SetTraceLabel(const std::string& label) { traceLabel_ = label; }

 protected:
  const char* TraceLabel() const { return traceLabel_.c_str(); }

  PortMode mode_ = PortMode::kTcp;
  ModbusFraming framing_ = ModbusFraming::kRtu;
  PortCounters counters_;
  std::string traceLabel_;
};

}  // namespace kestrel
