#pragma once
// A meter that answers in several telegrams steps through them by the frame
// count bit (FCB) of the master's REQ_UD2 (EN 13757-2): a toggled FCB asks
// for the next telegram, the same FCB again for the last one once more (its
// answer was lost on the way), and after the last telegram the next toggle
// starts over at the first. Pure; the caller keeps one per meter.

namespace kestrel {

struct TelegramSequence {
  bool started = false;  // a telegram went out since start, SND_NKE or selection
  bool fcb = false;      // FCB of the REQ_UD2 answered last
  int sent = 0;          // the telegram sent last, from 0
};

// The telegram (from 0, below count) that answers a REQ_UD2 with this FCB.
int TelegramToSend(const TelegramSequence& sequence, bool fcb, int count);

// telegram went out as the answer to a REQ_UD2 with this FCB.
void TelegramSent(TelegramSequence& sequence, bool fcb, int telegram);

}  // namespace kestrel
