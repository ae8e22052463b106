#include "mbus/telegram_sequence.h"

namespace kestrel {

int TelegramToSend(const TelegramSequence& sequence, bool fcb, int count) {
  if (!sequence.started || sequence.sent < 0 || sequence.sent >= count) return 0;
  if (fcb == sequence.fcb) return sequence.sent;  // a repetition
  return (sequence.sent + 1) % count;
}

void TelegramSent(TelegramSequence& sequence, bool fcb, int telegram) {
  sequence.started = true;
  sequence.fcb = fcb;
  sequence.sent = telegram;
}

}  // namespace kestrel
