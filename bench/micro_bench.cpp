// Micro-benchmarks of the request path's building blocks, and of one whole
// RSP_UD of 20 records assembled against an in-memory Modbus slave (which
// includes the gateway's own waits: per record one 1 ms poll and 2 ms pause).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <memory>
#include <vector>

#include "bench/bench_files.h"
#include "gateway/bringup.h"
#include "gateway/main_loop.h"
#include "mbus/record_header.h"
#include "modbus/crc.h"
#include "modbus/value_conversion.h"
#include "model/device_file.h"
#include "support/timer_slack.h"
#include "tests/scripted_port.h"
#include "tests/test_util.h"

using namespace kestrel;

namespace {

using Bytes = ScriptedPort::Bytes;

void BM_ModbusCrc(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ModbusCrc(data.data(), static_cast<uint32_t>(data.size())));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ModbusCrc)->Arg(6)->Arg(100);

const ModbusType kTypes[] = {ModbusType::kInt16, ModbusType::kUint32, ModbusType::kFloat, ModbusType::kInt64};
const char* const kTypeNames[] = {"INT16", "UINT32", "FLOAT", "INT64"};

// One conversion of 8 input bytes under the type of range(0), selectors 1.
template <typename Convert>
void ConversionBench(benchmark::State& state, Convert convert) {
  const ModbusType type = kTypes[state.range(0)];
  const uint8_t input[8] = {0x41, 0x20, 0x00, 0x01, 0x12, 0x34, 0x56, 0x78};
  uint8_t output[8];
  for (auto _ : state) {
    benchmark::DoNotOptimize(convert(input, output, type));
    benchmark::ClobberMemory();
  }
  state.SetLabel(kTypeNames[state.range(0)]);
}

void BM_ConversionRegistersToMBus(benchmark::State& state) {
  ConversionBench(state, [](const uint8_t* registers, uint8_t* value, ModbusType type) {
    return RegistersToMBus(value, registers, type, OrderSelectors{1, 1});
  });
}
BENCHMARK(BM_ConversionRegistersToMBus)->DenseRange(0, 3);

void BM_ConversionMBusToRegisters(benchmark::State& state) {
  ConversionBench(state, [](const uint8_t* value, uint8_t* registers, ModbusType type) {
    return MBusToRegisters(value, registers, type, OrderSelectors{1, 1});
  });
}
BENCHMARK(BM_ConversionMBusToRegisters)->DenseRange(0, 3);

void BM_RecordHeader(benchmark::State& state) {
  // range 0: a plain DIF; range 1: storage, tariff and subunit needing DIFEs.
  const bool extended = state.range(0) != 0;
  uint8_t out[kMaxRecordHeaderLength];
  for (auto _ : state) {
    benchmark::DoNotOptimize(EncodeRecordHeader(out, 1, 4, extended ? 0x1234 : 0,
                                                extended ? 5 : 0, extended ? 2 : 0));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RecordHeader)->Arg(0)->Arg(1);

void BM_RspUd20Records(benchmark::State& state) {
  UsePreciseSleeps();  // as the gateway does at start
  testutil::TempDir dir;
  setenv("KESTREL_ROOT", dir.path().c_str(), 1);
  testutil::WriteFile(dir / "meters.xml", BenchDeviceFile(BenchDevice(5, 20)));
  Gateway gateway;
  if (!LoadDeviceFile(dir / "meters.xml", gateway.model)) {
    state.SkipWithError("DeviceFile did not load");
    return;
  }
  ScriptedPort modbus(PortMode::kTcp);
  // Answers every read at the first poll with zeros for each register asked.
  modbus.SetResponder([](const Bytes& request) {
    Bytes answer = {request[0], request[1], static_cast<uint8_t>(2 * request[5])};
    answer.resize(3 + answer[2], 0);
    answer.resize(answer.size() + 2);
    AppendModbusCrc(answer.data(), static_cast<uint32_t>(answer.size() - 2));
    return ScriptedPort::Chunks{answer};
  });
  ScriptedPort mbus(PortMode::kTcp);
  mbus.Open();
  gateway.mbusPort = &mbus;
  StartOnModbusPort(gateway, modbus, 20);
  const auto loop = std::make_unique<LoopState>();
  const Bytes reqUd2 = {0x10, 0x5B, 0x05, 0x60, 0x16};
  for (auto _ : state) {
    const size_t answers = mbus.writes().size();
    mbus.QueueRead(reqUd2);
    RunCycleToAnswer(gateway, *loop);
    if (mbus.writes().size() != answers + 1) state.SkipWithError("no answer");
  }
  state.SetLabel("RSP_UD of " + std::to_string(mbus.writes().empty() ? 0 : mbus.writes().back().size()) + " bytes");
  unsetenv("KESTREL_ROOT");
}
BENCHMARK(BM_RspUd20Records)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
