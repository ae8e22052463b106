#pragma once
// [Main] state_file: the snapshots of the meters with MaxAge and the held
// values of the Monotonic records, kept across a restart. Written at most once a minute while a snapshot changed, and at a
// clean stop, each time as a whole new file renamed over the old one; read
// once at start, where a meter whose definition (its Device and Objects) is
// unchanged is answered at once from its restored snapshot, as old as it is,
// until its first background read replaces it. A file that is missing,
// damaged or of another version, or a meter of another definition, is
// skipped with a StartupLog line: never a wrong value, never a refusal.
//
// The file, line by line (numbers decimal, digests and bytes hexadecimal):
//   kestrel state 1
//   meter ADDRESS IDNUMBER DEFINITION READ_CALENDAR_MS TELEGRAMS HELD
//   telegram RECORD_BYTES            (one per telegram; none without MaxAge)
//   held RECORD VALUE_BYTES EXPONENT VIB_AT VIB_BYTE
//                                    (one per Monotonic record read; RECORD:
//                                    its place among the meter's, from 0)
//   check DIGEST                     (of every line before it)
#include "gateway/gateway.h"

namespace kestrel {

class ConfigStore;

// Bring-up, after the background reads are started: the key, and what the
// file holds.
void StartStateFile(const ConfigStore& store, Gateway& gateway);
// The key alone (a reload): where the file goes from now on.
void ReadStateFileKey(const ConfigStore& store, Gateway& gateway);

// The loop's share: the file written when due. WatchStateFile: when that is.
void KeepStateFileCurrent(Gateway& gateway);
void WatchStateFile(const Gateway& gateway, WaitSet& wait);

// A read of the meter ended: with Monotonic records, what it holds may have
// changed.
void NoteHeldValues(Gateway& gateway, const Meter& meter);

// At a clean stop: written now, if anything changed.
void WriteStateFileNow(Gateway& gateway);

}  // namespace kestrel
