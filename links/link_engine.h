#pragma once
// Who gets a link's line, and when. One transaction at a time on each link;
// the links side by side, all stepped by the main loop's one wait. When the
// transaction under way ends, its user takes its answer in at once; then the
// free line goes to the M-Bus request being served, if it needs this link,
// and otherwise to the background reads. A request therefore waits at most
// for the background transaction under way on its own link, and never for
// another link.
#include <cstdint>

#include "links/link.h"
#include "links/meter_exchange.h"
#include "links/meter_read.h"
#include "support/wait_set.h"

namespace kestrel {

// What keeps a link's line busy between requests: the background reads.
class LineFiller {
 public:
  // Begins a transaction on the link's free line if one is due; false otherwise.
  virtual bool SendNext(Link& link) = 0;
  // The transaction it began on the link has ended.
  virtual void TransactionEnded(Link& link) = 0;
  // When it next has something to send on the link: a clock reading in µs,
  // or -1 for nothing.
  virtual int64_t NextDueUs(const Link& link) const = 0;

 protected:
  ~LineFiller() = default;
};

// The M-Bus request's work on a link: one transaction (a write, an
// initialising request) or a read of a meter.
class RequestJob {
 public:
  // One transaction, request copied; meter: its parity and time limit.
  void BeginExchange(size_t link, const Meter& meter, const MeterExchange& exchange);
  // A read of the meter as the plan says.
  void BeginRead(size_t link, const MeterModel& model, const Meter& meter, const ReadPlan& plan);
  // Nothing to send: done as soon as the line is free, once the transaction
  // under way has ended and been taken in by its user.
  void BeginClaim(size_t link);

  bool Active() const { return active_; }
  size_t LinkIndex() const { return link_; }
  // Whether it has a transaction to send now.
  bool Wants() const;
  void Send(Link& link);
  void TransactionEnded(Link& link);
  // Its work is done: the exchange's transaction, or the read, has ended.
  bool Done() const;
  // Once done: the exchange's result (its answer stands in the link's response).
  const TransactionResult& Result() const { return result_; }
  const MeterRead& Read() const { return read_; }
  void End() { active_ = false; }

 private:
  bool active_ = false;
  bool isRead_ = false;
  bool claim_ = false;
  bool sent_ = false;
  bool ended_ = false;
  size_t link_ = 0;
  const Meter* meter_ = nullptr;
  MeterExchange exchange_{};
  uint8_t request_[kMaxWriteRequestLength] = {};
  TransactionResult result_;
  MeterRead read_;
};

// Steps the link: takes in the transaction under way and, once it has ended,
// hands it to its user; then gives a free line to the request (nullptr when
// none is being served on this link), else to the filler. Never waits.
void AdvanceLink(Link& link, RequestJob* request, LineFiller& filler);

// Drives the read to its end on the link alone, waiting on its line only
// (kestrel-check --read); true when it is complete.
bool CompleteRead(Link& link, MeterRead& read);

// Adds what the link waits for: its transaction, or the filler's next send.
void WatchLink(const Link& link, const RequestJob* request, const LineFiller& filler, WaitSet& wait);

}  // namespace kestrel
