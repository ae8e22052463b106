#pragma once
// The background reader: keeps the snapshot of every meter with MaxAge
// fresh. On each link it reads one meter at a time, block by block, with the
// same meter read a request's read uses, whenever the link's engine gives it
// the line (links/link_engine.h); the links side by side. A meter is read
// once per half its MaxAge, the one due longest first; a slave whose meters
// failed three complete reads in a row is read only once per MaxAge or 60 s,
// whichever is longer, until it answers again.
#include "gateway/gateway.h"

namespace kestrel {

// Bring-up: one snapshot per meter and one reader per link; every meter
// with MaxAge is due at once. Also the memory of the highest values of the
// Monotonic records, which every read of their meters shares.
void StartBackgroundReads(Gateway& gateway);

// The background reads as the links' engine sees them.
class BackgroundReader : public LineFiller {
 public:
  explicit BackgroundReader(Gateway& gateway) : gateway_(gateway) {}
  bool SendNext(Link& link) override;
  void TransactionEnded(Link& link) override;
  int64_t NextDueUs(const Link& link) const override;

 private:
  LinkReads& ReadsOf(const Link& link) const;
  void ReadEnded(LinkReads& reads);

  Gateway& gateway_;
};

// A read of the meter (index into the model's meters) that ended complete:
// its telegrams become the meter's snapshot.
void KeepSnapshot(Gateway& gateway, size_t meter, const std::vector<TelegramRecords>& telegrams, int64_t startMs);

// Whether a SND_UD went to the meter (index) after the read behind its
// snapshot began: its next answer then comes from a read in the request's path.
bool WrittenSinceSnapshot(const Gateway& gateway, size_t meter);
// A background read of the meter under way is dropped (a read in a
// request's path overtakes it, or a write may have changed its values).
void ForgetBackgroundRead(Gateway& gateway, size_t meter);

// A SND_UD went to the meter: its next answer comes from a read begun after
// it, and the background reader reads it next.
void NoteWrite(Gateway& gateway, const Meter& meter);

// The REQ_UD2 answer of a meter with MaxAge, telegram (from 0) with header:
// from its snapshot, with the status bit 10h when the snapshot is older than
// MaxAge. false, traced, with failure, when there is no complete read to
// answer from.
bool AnswerFromSnapshot(Gateway& gateway, const Meter& meter, int telegram, RspUdHeader header, Answer& answer,
                        ReadFailure& failure);

}  // namespace kestrel
