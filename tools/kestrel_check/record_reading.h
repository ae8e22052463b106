#pragma once
// What an M-Bus master makes of one data record: the value by the data
// field of its DIF, as a plain decimal number in the unit its VIF names
// ("energy 12345 kWh", "flow temperature 65.5 °C"). Decoded are energy,
// volume, mass, power, volume and mass flow, the temperatures and their
// difference, pressure, the times and durations, fabrication number and
// enhanced identification, and, behind FDh, voltage and current; any other
// VIF is shown as its bytes.
#include <string>

#include "mbus/rsp_ud.h"

namespace kestrel {

std::string ReadingOf(const DataRecord& record);

// What the record's VIF names, as the live read decodes it: " (energy, kWh)",
// " (flow temperature, 0.1 °C)", " (fabrication number)"; "" for a VIF
// not decoded.
std::string VifMeaning(const DataRecord& record);

}  // namespace kestrel
