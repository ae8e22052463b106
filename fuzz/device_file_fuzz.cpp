// DeviceFile loading, RSP_UD assembly and SND_UD handling on arbitrary XML:
// every Device the file holds is read, written, reset, re-initialised and
// selected through the real loop, with a slave that answers every request.
// Whatever the attributes say, every answer is well-formed and no buffer is
// overrun.
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/mbus_frames.h"
#include "gateway/handlers/addressing.h"
#include "gateway/bringup.h"
#include "gateway/main_loop.h"
#include "mbus/secondary_address.h"
#include "model/device_file.h"
#include "tests/scripted_port.h"

using namespace kestrel;

namespace {

using fuzzsupport::Bytes;

constexpr int kMaxDevices = 8;
constexpr int kMaxObjectNumber = 3;

using mbusframes::ShortFrame;

Bytes LongFrame(uint8_t a, uint8_t ci, const Bytes& data) { return mbusframes::LongFrame(0x53, a, ci, data); }

struct Rig {
  Gateway gateway;
  LoopState loop;
  ScriptedPort mbus{PortMode::kTcp};
  ScriptedPort modbus{PortMode::kRs485, 'N'};

  void Exchange(const Bytes& frame) {
    const size_t before = mbus.writes().size();
    mbus.QueueRead(frame);
    RunCycleToAnswer(gateway, loop);
    if (mbus.writes().size() > before + 1) std::abort();
    if (mbus.writes().size() == before + 1 && !fuzzsupport::IsWellFormedAnswer(mbus.writes().back())) {
      std::abort();
    }
  }
};

void ExerciseMeter(Rig& rig, const Meter& meter) {
  const uint8_t a = meter.primaryAddress;
  rig.Exchange(ShortFrame(0x5B, a));
  for (uint8_t object = 0; object <= kMaxObjectNumber; ++object) {
    rig.Exchange(LongFrame(a, kCiSndUd, {0x00, 0x00, object, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
  }
  rig.Exchange(LongFrame(a, kCiSndUd, {0x00}));  // too short for an object number
  rig.Exchange(LongFrame(a, kCiAppReset, {}));
  rig.Exchange(ShortFrame(kCSndNke, a));
  const Bytes secondary(meter.secondaryAddress, meter.secondaryAddress + kSecondaryAddressLength);
  rig.Exchange(LongFrame(kAddressSelected, kCiSelection, secondary));
  rig.Exchange(ShortFrame(0x7B, kAddressSelected));
  rig.Exchange(LongFrame(kAddressSelected, kCiSndUd, {0x00, 0x00, 0x01, 0x01, 0x02}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzzsupport::FuzzRoot() + "/config/meters.xml";
  fuzzsupport::WriteText(path, data, size);
  Rig rig;
  rig.gateway.mbusPort = &rig.mbus;
  uint8_t fill = 0;
  rig.modbus.SetResponder([&fill](const Bytes& request) {
    return ScriptedPort::Chunks{fuzzsupport::CooperativeAnswer(request, ++fill)};
  });
  if (LoadDeviceFile(path, rig.gateway.model)) {
    StartOnModbusPort(rig.gateway, rig.modbus, 2);
    // A copy: the exchanges advance the access numbers of the gateway's own.
    const std::vector<Meter> meters = rig.gateway.model.meters;
    for (size_t m = 0; m < meters.size() && m < kMaxDevices; ++m) ExerciseMeter(rig, meters[m]);
  }
  return 0;
}
