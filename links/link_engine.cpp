#include "links/link_engine.h"

#include <cstring>

#include "support/clock.h"

namespace kestrel {

void RequestJob::BeginExchange(size_t link, const Meter& meter, const MeterExchange& exchange) {
  active_ = true;
  isRead_ = claim_ = false;
  sent_ = ended_ = false;
  link_ = link;
  meter_ = &meter;
  exchange_ = exchange;
  exchange_.length = exchange.length < 0 ? 0 : exchange.length;
  if (exchange_.length > static_cast<int>(sizeof request_)) exchange_.length = static_cast<int>(sizeof request_);
  std::memcpy(request_, exchange.request, static_cast<size_t>(exchange_.length));
  exchange_.request = request_;
  result_ = TransactionResult();
}

void RequestJob::BeginRead(size_t link, const MeterModel& model, const Meter& meter, const ReadPlan& plan) {
  active_ = true;
  isRead_ = true;
  claim_ = false;
  sent_ = ended_ = false;
  link_ = link;
  meter_ = &meter;
  read_.Begin(model, meter, plan);
}

void RequestJob::BeginClaim(size_t link) {
  active_ = claim_ = true;
  isRead_ = false;
  sent_ = ended_ = false;
  link_ = link;
}

bool RequestJob::Wants() const {
  if (!active_) return false;
  return isRead_ ? read_.State() == ReadState::kReading : !sent_;
}

void RequestJob::Send(Link& link) {
  if (claim_) {
    sent_ = ended_ = true;
  } else if (!isRead_) {
    sent_ = true;
    BeginExchangeWithMeter(link, *meter_, exchange_);
    link.user = LineUser::kRequest;
  } else if (read_.SendNext(link)) {
    link.user = LineUser::kRequest;
  }
}

void RequestJob::TransactionEnded(Link& link) {
  if (isRead_) return read_.TakeAnswer(link);
  result_ = link.transaction.Result();
  ended_ = true;
}

bool RequestJob::Done() const { return isRead_ ? read_.State() != ReadState::kReading : ended_; }

void AdvanceLink(Link& link, RequestJob* request, LineFiller& filler) {
  if (link.user != LineUser::kNone) {
    link.transaction.Advance();
    if (link.transaction.Busy()) return;
    const LineUser user = link.user;
    link.user = LineUser::kNone;
    if (user == LineUser::kRequest && request != nullptr) {
      request->TransactionEnded(link);
    } else if (user == LineUser::kBackground) {
      filler.TransactionEnded(link);
    }
  }
  // The line stays the request's until it has been answered: what its end
  // changes (a write) comes before any background read.
  if (request != nullptr) {
    // A read may end without the line (no block left): that is its last step.
    if (request->Wants()) request->Send(link);
    return;
  }
  if (filler.SendNext(link)) link.user = LineUser::kBackground;
}

bool CompleteRead(Link& link, MeterRead& read) {
  while (read.SendNext(link)) {
    CompleteTransaction(link.transaction);
    read.TakeAnswer(link);
  }
  return read.State() == ReadState::kComplete;
}

void WatchLink(const Link& link, const RequestJob* request, const LineFiller& filler, WaitSet& wait) {
  // A transaction may end as it begins (a request that cannot be sent):
  // its user takes it in at once.
  if (link.user != LineUser::kNone && !link.transaction.Busy()) return wait.DueAtUs(NowUs());
  if (link.user != LineUser::kNone) return link.transaction.Watch(wait);
  if (request != nullptr && request->Wants()) return wait.DueAtUs(NowUs());
  const int64_t dueUs = filler.NextDueUs(link);
  if (dueUs >= 0) wait.DueAtUs(dueUs);
}

}  // namespace kestrel
