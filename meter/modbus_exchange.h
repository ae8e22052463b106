#pragma once
// Sending one request built for a meter and tracing what came back.
#include <cstdint>

#include "core/gateway.h"

constexpr int kReadAttempts = 2;   // REQ_UD2 reads
constexpr int kOtherAttempts = 1;  // writes and initialising requests

// An initialising request (SND_NKE, selection) fails only when nothing valid
// came back; an exception answer still proves the meter is there.
constexpr int kWorstAcceptedInitResult = -127;

// Traces line and the request, then runs the Modbus transaction on the
// Modbus side with the meter's parity. Returns the transaction result; the
// answer is in gateway.modbusResponse.
int ExchangeWithMeter(Gateway& gateway, Element device, const char* line, const uint8_t* request,
                      int length, int attempts);

// The report traced after a read, a write, an application reset or an
// SND_NKE: the response, the error, or that nothing valid came.
void TraceTransactionReport(int result, const uint8_t* response);

// "meter 5 (IdNumber 12345678)", for trace lines that name a meter.
struct MeterName {
  char text[96];
};
MeterName NameOf(Element device);
