#include "meter/modbus_exchange.h"

#include <cstdio>

#include "modbus/transaction.h"
#include "ports/TPort.h"
#include "support/logs.h"

namespace {

constexpr int kExceptionDumpLength = 5;  // address, function, code, CRC
constexpr int kLowestReportedException = -15;

}  // namespace

int ExchangeWithMeter(Gateway& gateway, Element device, const char* line, const uint8_t* request,
                      int length, int attempts) {
  LogTrace("%s", line);
  DumpTrace(request, length);
  return ModbusTransaction(*gateway.modbusPort, gateway.modbusLine, request, length,
                           gateway.modbusResponse, gateway.modbusTimeout, DeviceParity(device),
                           attempts);
}

void TraceTransactionReport(int result, const uint8_t* response) {
  if (result > 0) {
    LogTrace("Response from Modbus Meter\n");
    DumpTrace(response, result);
  } else if (result >= kLowestReportedException) {
    LogTrace("Error from Modbus Meter\n");
    DumpTrace(response, kExceptionDumpLength);
  } else if (result == kModbusNoValidAnswer) {
    LogTrace("Error from Modbus Meter\n");
  } else {
    LogTrace("Unknown Error from Modbus Meter\n");
  }
}

MeterName NameOf(Element device) {
  MeterName name{};
  std::snprintf(name.text, sizeof name.text, "meter %u (IdNumber %.16s)",
                ReadAttribute8(device, "PrimaryAddress", false), AttributeText(device, "IdNumber"));
  return name;
}
