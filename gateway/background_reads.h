#pragma once
// The background reader: keeps the snapshot of every meter with MaxAge
// fresh, reading one meter at a time, block by block, on the same Modbus
// transaction engine a request's read uses, driven by the main loop's wait
// between M-Bus frames. A meter is read once per half its MaxAge, the one
// due longest first; a slave whose meters failed three complete reads in a
// row is read only once per MaxAge or 60 s, whichever is longer, until it
// answers again.
#include "gateway/gateway.h"

namespace kestrel {

// Bring-up: one snapshot per meter; every meter with MaxAge is due at once.
void StartBackgroundReads(Gateway& gateway);

// Adds what the reader waits for: the transaction under way, or the time the
// next meter is due.
void WatchBackgroundReads(const Gateway& gateway, WaitSet& wait);

// Does what is due: takes in the answer of the transaction under way, begins
// the next block's, or the next meter's read. Never waits.
void AdvanceBackgroundReads(Gateway& gateway);

// A request needs the Modbus line: the background transaction under way, if
// any, ends first (its answer taken as usual). The read it belongs to goes
// on after the request.
void ClaimModbusLine(Gateway& gateway);

// A SND_UD went to the meter: its next answer comes from a read begun after
// it, and the background reader reads it next.
void NoteWrite(Gateway& gateway, const Meter& meter);

// The REQ_UD2 answer of a meter with MaxAge, telegram (from 0) with header:
// from its snapshot, with the status bit 10h when the snapshot is older than
// MaxAge; read in the request's path first when a SND_UD came since (the
// M-Bus timeout counting from frameStartMs). false, traced, when there is
// no complete read to answer from.
bool AnswerFromSnapshot(Gateway& gateway, const Meter& meter, int telegram, RspUdHeader header, int64_t frameStartMs,
                        Answer& answer);

}  // namespace kestrel
