#pragma once
// An in-memory TPort for tests of code that talks through a port: what the
// port "receives" is scripted as chunks, one chunk per Read call, and every
// call is recorded.
//
// Read semantics: each Read pops the front chunk of the receive queue. An
// empty chunk is a Read that finds nothing (a silent poll). A chunk longer
// than the Read's maximum hands out the maximum and keeps the rest at the
// front. An empty queue reads nothing, or the endless chunk when one is set
// (a line that never falls quiet). A closed port reads nothing and its
// Writes fail (they appear in calls() but not in writes()).
//
// Wait semantics (WatchInput): a chunk with bytes anywhere in the queue is
// input at once (the empty chunks before it are read as silent reads); a
// queue of empty chunks, or none, has the waiter wait its full time.
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

class ScriptedPort : public kestrel::TPort, public kestrel::SerialParity {
 public:
  using Bytes = std::vector<uint8_t>;
  using Chunks = std::vector<Bytes>;
  // Gives the chunks that answer one written frame.
  using Responder = std::function<Chunks(const Bytes& written)>;

  explicit ScriptedPort(kestrel::PortMode mode = kestrel::PortMode::kRs485, char parity = 'N');

  // Appends a chunk to the receive queue now (e.g. stale bytes on the line).
  void QueueRead(const Bytes& chunk) { pending_.push_back(chunk); }
  // What every Read of an empty queue hands out from now on.
  void TalkEndlessly(const Bytes& chunk) { endless_ = chunk; }
  // The chunks that become readable when the next unanswered Write happens.
  void AnswerNextWrite(const Chunks& chunks) { scripts_.push_back(chunks); }
  // Answers every Write that no script answers.
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  // What the next Open answers (and whether the port is then open).
  void SetOpenResult(bool result) { openResult_ = result; }

  const std::vector<Bytes>& writes() const { return writes_; }
  // Every call in order: "Open", "Close", "SetParity E", "Write", "Read 7"
  // (a Read that handed out 7 bytes; "Read 0" when nothing came).
  const std::vector<std::string>& calls() const { return calls_; }
  // Chunks still waiting in the receive queue.
  size_t pendingChunks() const { return pending_.size(); }

  bool Open() override;
  char GetParity() const override { return parity_; }
  void SetParity(char parity) override;
  // A socket has no parity to switch.
  SerialParity* Parity() override { return IsSerialMode(GetMode()) ? this : nullptr; }
  bool Close() override;
  bool IsOpen() const override { return open_; }
  bool Write(const uint8_t* data, int length) override;
  bool Read(uint8_t* buffer, int maxLength, int& count) override;
  void WatchInput(kestrel::WaitSet& wait) override;

 private:
  void Enqueue(const Chunks& chunks) { pending_.insert(pending_.end(), chunks.begin(), chunks.end()); }

  char parity_;
  bool open_ = true;
  bool openResult_ = true;
  std::deque<Bytes> pending_;
  Bytes endless_;
  std::deque<Chunks> scripts_;
  Responder responder_;
  std::vector<Bytes> writes_;
  std::vector<std::string> calls_;
};
