#pragma once
// [MBusPort] writes: which Objects an SND_UD may write at all (yes, or
// absent: every one; listed: those with Writable="1"; no: none). The
// gateway's write policy and kestrel-check read it alike.
#include <cstdint>

#include "model/meter_model.h"

namespace kestrel {

class ConfigStore;

constexpr const char* kWritesSection = "MBusPort";
constexpr const char* kWritesKey = "writes";

// [MBusPort] writes as read: yes, listed, no, absent, or any other text.
enum class WritesKey : uint8_t { kAbsent, kYes, kListed, kNo, kUnknown };

// [MBusPort] writes (MainConfig, else DefaultConfig), any letter case.
WritesKey ReadWritesKey(const ConfigStore& store);

// Why writes, or the record's own attributes, refuse every write to the
// record, whatever its value, or nullptr when a write within its range
// goes through.
const char* StandingRefusal(WritesKey writes, const MeterModel& model, const Record& record);

}  // namespace kestrel
