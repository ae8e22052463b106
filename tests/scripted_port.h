#pragma once
// An in-memory TPort for tests of code that talks through a port: what the
// port "receives" is scripted as chunks, one chunk per Read call, and every
// Write, Close, Open and SetParity is recorded.
//
// Typical use for a Modbus exchange:
//
//   ScriptedPort port(kModeRs485, 'N');
//   port.QueueRead({0xAA});                    // stale byte, waiting before the request
//   port.AnswerNextWrite({{}, {0x01, 0x03}, {0x02, 0x00, 0x2A, 0x39, 0x9B}});
//   ModbusTransaction(port, request, 8, buffer, 5, 'N', 1);
//   // port.writes() == {request}; the first poll read nothing, the second
//   // brought 01 03, the third the rest.
//
// Read semantics: each Read pops the front chunk of the receive queue. An
// empty chunk is a Read that finds nothing (a silent poll). A chunk longer
// than the Read's maximum hands out the maximum and keeps the rest at the
// front. An empty queue reads nothing, or the endless chunk when one is set
// (a line that never falls quiet). A closed port reads nothing and its
// Writes fail (they appear in calls() but not in writes()).
//
// Wait semantics (WatchInput): a front chunk with bytes is input at once;
// an empty chunk (a silent poll) or an empty queue has the waiter wait its
// full time. The port has no descriptors.
//
// Write semantics: a Write is recorded, then the next answer script (if any)
// is appended to the receive queue; with no script left the responder (if
// set) is asked for the chunks to queue. Scripts are used in the order given.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ports/TPort.h"

class ScriptedPort : public kestrel::TPort {
 public:
  using Bytes = std::vector<uint8_t>;
  using Chunks = std::vector<Bytes>;
  // Gives the chunks that answer one written frame.
  using Responder = std::function<Chunks(const Bytes& written)>;

  explicit ScriptedPort(int mode = kestrel::kModeRs485, char parity = 'N');

  // Appends a chunk to the receive queue now (e.g. stale bytes on the line).
  void QueueRead(const Bytes& chunk);
  // What every Read of an empty queue hands out from now on.
  void TalkEndlessly(const Bytes& chunk) { endless_ = chunk; }
  // The chunks that become readable when the next unanswered Write happens.
  void AnswerNextWrite(const Chunks& chunks);
  // Answers every Write that no script answers.
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  // What the next Open answers (and whether the port is then open).
  void SetOpenResult(bool result) { openResult_ = result; }

  const std::vector<Bytes>& writes() const { return writes_; }
  // Every call in order: "Open", "Close", "SetParity E", "Write", "Read 7"
  // (a Read that handed out 7 bytes; "Read 0" when nothing came).
  const std::vector<std::string>& calls() const { return calls_; }
  int openCount() const { return openCount_; }
  int closeCount() const { return closeCount_; }
  int readCount() const { return readCount_; }
  bool isOpen() const { return open_; }
  // Chunks still waiting in the receive queue.
  size_t pendingChunks() const { return pending_.size(); }

  bool Open() override;
  bool InitSocket(const std::string& localInterface, uint16_t localPort,
                  const std::string& remoteHost, uint16_t remotePort, bool server) override;
  bool InitSerial(const std::string& device, int baudRate, int dataBits, char parity,
                  int stopBits, int mode) override;
  char GetParity() override { return parity_; }
  void SetParity(char parity) override;
  bool SetTimeout(int seconds) override;
  bool Close() override;
  bool Write(const uint8_t* data, int length) override;
  bool Read(uint8_t* buffer, int maxLength, int& count) override;
  void WatchInput(kestrel::WaitSet& wait) override;

 private:
  void Enqueue(const Chunks& chunks);

  char parity_;
  bool open_ = true;
  bool openResult_ = true;
  std::deque<Bytes> pending_;
  Bytes endless_;
  std::deque<Chunks> scripts_;
  Responder responder_;
  std::vector<Bytes> writes_;
  std::vector<std::string> calls_;
  int openCount_ = 0;
  int closeCount_ = 0;
  int readCount_ = 0;
};
