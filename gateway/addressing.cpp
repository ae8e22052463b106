#include "gateway/addressing.h"

#include "gateway/meter_exchange.h"
#include "gateway/meter_requests.h"
#include "mbus/secondary_address.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kMinSelectionL = 0x0B;  // C, A, CI and the 8-byte address

// The first meter in document order whose own address the pattern matches.
int FirstMatchingMeter(const MeterModel& model, const uint8_t* pattern) {
  for (size_t m = 0; m < model.meters.size(); ++m) {
    if (MatchSecondaryAddress(pattern, model.meters[m].secondaryAddress) == 0) return static_cast<int>(m);
  }
  return -1;
}

}  // namespace

Meter* MeterForWrite(Gateway& gateway, uint8_t a) {
  if (a == kAddressSelected && gateway.selection.selected) return SelectedMeter(gateway);
  return MeterAtAddress(gateway.model, a);
}

bool HandleSelection(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  if (frame.bytes[kLongL] < kMinSelectionL) {
    LogTrace("M-Bus error, selection frame too short for a secondary address\n");
    return false;
  }
  const int index = FirstMatchingMeter(gateway.model, frame.bytes + kLongData);
  if (index < 0) return false;
  const Meter& meter = gateway.model.meters[static_cast<size_t>(index)];

  uint8_t* request = gateway.modbusRequest;
  const int length = InitRequestFor(meter, request);
  const int result =
      ExchangeWithMeter(gateway, meter, "Request to Modbus Meter\n", request, length, kOtherAttempts);
  LogTrace("Response from Modbus Meter\n");
  DumpTrace(gateway.modbusResponse, result);

  if (!MeterAnswered(MeterRequest::kSelection, result)) {
    // Deliberate: "errno" is the transaction result; the wording is the
    // gateway's own.
    LogTrace("Modbus error, errno = %d\n", result);
    return false;
  }
  gateway.selection.selected = true;
  gateway.selection.meter = static_cast<size_t>(index);
  return AnswerAck(answer);
}

}  // namespace kestrel
