#pragma once
// A meter with MaxAge answers a REQ_UD2 at once, from memory, as a real
// meter does: from its snapshot, the record bytes of each of its telegrams,
// all taken from one complete read of the meter. The background reader
// keeps the snapshots fresh, on each link one meter's read at a time, block
// by block, between and beside the M-Bus requests. These are its data;
// background_reads.h its work.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "links/meter_read.h"

namespace kestrel {

struct Snapshot {
  std::vector<TelegramRecords> telegrams;  // one per telegram the meter answers in
  bool complete = false;  // a complete read has been taken since start, or restored
  int64_t readStartMs = 0;  // when the read behind it began: no value in it is older
  int64_t readWallMs = 0;   // the same on the calendar, for the state file
  // Restored with a reading time that cannot be (in the future, or before
  // 2020): as old as it may be, it counts as older than MaxAge.
  bool ageUnknown = false;
};

// What the background reader keeps of one meter with MaxAge.
struct CachedMeter {
  Snapshot snapshot;
  int64_t nextReadMs = 0;    // when its next background read is due
  bool written = false;      // a SND_UD went to it after the read behind its snapshot began
  int failedReads = 0;       // complete reads in a row that failed
  ReadFailure lastFailure;
};

// Complete background reads of its meters that failed in a row: after a
// few the slave is taken for dead and read only now and then.
struct SlaveHealth {
  int failedReads = 0;
  bool givenUp = false;
  int64_t retryAtMs = 0;  // while given up: its meters are not read before this
};

// The background reads of one link: the read under way, and its slaves'
// health (slave 3 on one link is another device than slave 3 on the next).
struct LinkReads {
  bool active = false;
  size_t meter = 0;  // of the read under way
  MeterRead read;
  std::array<SlaveHealth, 256> slaves{};
};

// [Main] state_file: the snapshots kept across a restart.
struct StateFile {
  std::string path;      // as opened (below KESTREL_ROOT); empty: none
  bool changed = false;  // a snapshot was taken since the last write
  int64_t dueMs = 0;     // no write before this: at most one a minute
};

struct BackgroundReads {
  std::vector<CachedMeter> meters;  // one per meter of the model, used for those with MaxAge
  std::vector<LinkReads> links;     // one per link
  StateFile state;
};

}  // namespace kestrel
