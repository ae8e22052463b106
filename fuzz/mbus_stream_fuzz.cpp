// The M-Bus frame layer and dispatch on arbitrary byte streams cut into
// arbitrary reads, with a Modbus slave that answers arbitrarily. Whatever
// arrives, the loop must stay inside its buffers and only ever send E5h or a
// well-formed RSP_UD, and only after a read.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "gateway/bringup.h"
#include "gateway/main_loop.h"
#include "model/device_file.h"
#include "tests/scripted_port.h"

using namespace kestrel;

namespace {

const char kMeters[] =
    "<?xml version=\"1.0\"?><Meters>"
    "<Device DeviceId=\"m1\" PrimaryAddress=\"1\" IdNumber=\"12345678\" Medium=\"02\" Status=\"00\""
    " AccessNumber=\"00\" SlaveAddress=\"1\" InitFunction=\"03\" InitRegister=\"0\" Base=\"0\"/>"
    "<Object DeviceId=\"m1\" ModbusFunction=\"3\" RegisterRead=\"10\" RegisterWrite=\"10\" ModbusDT=\"INT16\""
    " MBusDT=\"2\" Vib=\"03\" WriteMin=\"-100\" WriteMax=\"100\"/>"
    "<Object DeviceId=\"m1\" ModbusFunction=\"4\" RegisterRead=\"20\" ModbusDT=\"FLOAT\" MBusDT=\"5\" Vib=\"13\"/>"
    "<Device DeviceId=\"m2\" PrimaryAddress=\"2\" IdNumber=\"87654321\" Medium=\"07\" AccessNumber=\"10\""
    " SlaveAddress=\"2\" InitFunction=\"03\" InitRegister=\"1\" Base=\"1\" ComSettings=\"E\" MaxAge=\"1\"/>"
    "<Object DeviceId=\"m2\" ModbusFunction=\"3\" RegisterRead=\"5\" RegisterWrite=\"5\" ModbusDT=\"UINT32\""
    " MBusDT=\"4\" Storage=\"1\" Tariff=\"2\" SubUnit=\"1\" Vib=\"FD17\" Writable=\"0\"/>"
    "<Object DeviceId=\"m2\" TelegramNr=\"2\" ModbusFunction=\"3\" RegisterRead=\"7\" ModbusDT=\"INT16\""
    " MBusDT=\"2\" Vib=\"13\"/>"
    "<Device DeviceId=\"m3\" PrimaryAddress=\"3\" IdNumber=\"87654322\" Medium=\"07\" SlaveAddress=\"3\""
    " InitFunction=\"03\" InitRegister=\"1\" Base=\"0\"/>"
    "</Meters>";

// Loaded once; every input starts from a copy.
const MeterModel& Meters() {
  static const MeterModel model = [] {
    const std::string path = fuzzsupport::FuzzRoot() + "/config/meters.xml";
    fuzzsupport::WriteText(path, reinterpret_cast<const uint8_t*>(kMeters), sizeof kMeters - 1);
    MeterModel loaded;
    if (!LoadDeviceFile(path, loaded) || !loaded.parsed) std::abort();
    return loaded;
  }();
  return model;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  ScriptedPort mbus(PortMode::kTcp);
  ScriptedPort modbus(PortMode::kRs485, 'N');
  modbus.SetResponder([&input](const ScriptedPort::Bytes& request) {
    ScriptedPort::Chunks chunks;
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: break;  // silence
      case 1: chunks.push_back(fuzzsupport::CooperativeAnswer(request, input.ConsumeIntegral<uint8_t>())); break;
      default:
        chunks.push_back(input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300)));
        break;
    }
    return chunks;
  });

  Gateway gateway;
  gateway.mbusPort = &mbus;
  gateway.model = Meters();
  StartOnModbusPort(gateway, modbus, 2);
  gateway.collisions = input.ConsumeBool();
  gateway.multiTelegram = input.ConsumeBool();
  LoopState loop;

  int cycles = 0;
  while (input.remaining_bytes() > 0 && cycles < 64) {
    const size_t writesBefore = mbus.writes().size();
    const ScriptedPort::Bytes chunk = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 1100));
    const bool bytesWaiting = !chunk.empty() || mbus.pendingChunks() > 0;
    mbus.QueueRead(chunk);
    RunCycleToAnswer(gateway, loop);
    ++cycles;
    if (mbus.writes().size() > writesBefore) {
      // An answer only in a cycle that read something, one per cycle, well-formed.
      if (!bytesWaiting) std::abort();
      if (mbus.writes().size() != writesBefore + 1) std::abort();
      if (!fuzzsupport::IsWellFormedAnswer(mbus.writes().back(), gateway.collisions)) std::abort();
    }
    if (loop.frame.count < 0 || loop.frame.count > kFrameBufferSize) std::abort();
  }
  return 0;
}
