#include "tools/kestrel_check/live_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "checks/elements.h"
#include "checks/number_text.h"
#include "checks/record_layout.h"
#include "links/link_engine.h"
#include "links/link_settings.h"
#include "links/meter_exchange.h"
#include "links/meter_read.h"
#include "links/meter_requests.h"
#include "mbus/record_header.h"
#include "mbus/rsp_ud.h"
#include "modbus/framing.h"
#include "ports/port_factory.h"
#include "support/clock.h"
#include "support/paths.h"
#include "tools/kestrel_check/record_reading.h"

namespace kestrel {
namespace {

// A gateway rewrites its PidFile about every 9 s: a time stamp younger than
// this says it runs.
constexpr int64_t kRunningGatewaySeconds = 20;
constexpr int kDumpBytesPerLine = 16;
constexpr int64_t kConnectPollUs = 10000;
// The DIF's function field: what kind of value the record holds.
constexpr const char* kValueFunctions[] = {"instantaneous", "maximum", "minimum", "during error"};
constexpr unsigned kValueFunctionMask = 0x03;

constexpr int kManufacturerLetterBits = 5;
constexpr char kManufacturerLetterBase = '@';  // 1 is A

// The time stamp of the PidFile (4 bytes, native order), when it is a
// regular file that holds one.
bool PidFileStamp(int64_t& stamp) {
  const int fd = open(RootedPath(kPidFilePath).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  int32_t value = 0;
  const bool read = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    ::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
  close(fd);
  stamp = value;
  return read;
}

bool GatewaySeemsToRun(FILE* out) {
  int64_t stamp = 0;
  if (!PidFileStamp(stamp)) return false;
  const int64_t age = static_cast<int64_t>(std::time(nullptr)) - stamp;
  if (age >= kRunningGatewaySeconds) return false;
  std::fprintf(out,
               "the gateway seems to be running: %s was stamped less than %lld s ago; stop it first (it uses "
               "the same Modbus line), or give --force\n",
               RootedPath(kPidFilePath).c_str(), static_cast<long long>(kRunningGatewaySeconds));
  return true;
}

// A TCP client that reconnects begins its connect at Open and finishes it
// later: the read waits for it as long as the gateway would try.
void AwaitConnection(TPort& port, const ConfigStore& store, const std::string& section) {
  int seconds = 0;
  store.GetInt(seconds, section, "reconnect");
  const int64_t untilUs = NowUs() + int64_t{seconds} * kUsPerMs * 1000;
  while (!port.Connected() && NowUs() < untilUs) usleep(kConnectPollUs);
}

// The meters' links, each opened as the gateway opens it when a meter
// first needs it; nullptr for one that does not open.
class LiveLinks {
 public:
  LiveLinks(const ConfigStore& store, FILE* out) : store_(store), out_(out), names_(LinkNames(store)) {}
  Link* Of(const Meter& meter) {
    const std::string name = LinkNameOf(meter);
    auto found = links_.find(name);
    if (found == links_.end()) found = links_.emplace(name, Open(name)).first;
    return found->second.get();
  }

 private:
  std::unique_ptr<Link> Open(const std::string& name) {
    const std::string section = LinkSectionOf(name);
    // The gateway makes no link of a section it does not use.
    if (!name.empty() && std::find(names_.begin(), names_.end(), name) == names_.end()) {
      std::fprintf(out_, "no link [%s]; kestrel-check without --read says why\n", section.c_str());
      return nullptr;
    }
    auto link = std::make_unique<Link>();
    link->name = name;
    OpenLink(store_, *link);
    if (!link->working || !link->port->IsOpen()) {
      std::fprintf(out_, "cannot open the Modbus side ([%s]); kestrel-check without --read says why\n",
                   section.c_str());
      return nullptr;
    }
    AwaitConnection(*link->port, store_, section);
    return link;
  }

  const ConfigStore& store_;
  FILE* out_;
  const std::vector<std::string> names_;
  std::map<std::string, std::unique_ptr<Link>> links_;
};

void PrintBytes(FILE* out, const char* label, const uint8_t* bytes, int count) {
  for (int at = 0; at < count || at == 0; at += kDumpBytesPerLine) {
    const int line = count - at < kDumpBytesPerLine ? count - at : kDumpBytesPerLine;
    std::fprintf(out, "  %-8s%s\n", at == 0 ? label : "", HexBytes(bytes + at, line).c_str());
  }
}

const char* ExceptionName(int code) {
  switch (code) {
    case 1: return "illegal function";
    case 2: return "illegal data address";
    case 3: return "illegal data value";
    case 4: return "server device failure";
    case 5: return "acknowledge";
    case 6: return "server device busy";
    case 8: return "memory parity error";
    case 10: return "gateway path unavailable";
    case 11: return "gateway target device failed to respond";
    default: return "no standard meaning";
  }
}

struct ReadContext {
  const Link& link;
  const Meter& meter;
  FILE* out;
  int nextRecord = 1;  // number of the block's first record
  int blocks = 0;
  int records = 0;  // of the telegram
};

// The request as it went on the wire, the answer as it came, or why none did.
void PrintExchange(const ReadContext& at, const BlockReport& report) {
  const Link& link = at.link;
  const ModbusFraming framing = link.port->GetFraming();
  uint8_t framed[kMaxMbapFrame];
  const bool mbap = framing == ModbusFraming::kMbap;
  const int sent = mbap ? FrameMbapRequest(link.line.transactionId, report.request, kReadRequestLength, framed)
                        : kReadRequestLength;
  PrintBytes(at.out, "request", mbap ? framed : report.request, sent);
  const TransactionResult& result = report.result;
  switch (result.outcome) {
    case TransactionOutcome::kAnswer:
      PrintBytes(at.out, "answer", link.response, result.length);
      return;
    case TransactionOutcome::kException:
      PrintBytes(at.out, "answer", link.response, ExceptionAnswerLength(framing));
      std::fprintf(at.out, "  exception code %d (%s)\n", result.exceptionCode, ExceptionName(result.exceptionCode));
      return;
    case TransactionOutcome::kNoValidAnswer:
    case TransactionOutcome::kNotSent:
      break;
  }
  std::fprintf(at.out, "  no valid answer in %d attempt(s) of %d ms; the last brought %s\n", kReadAttempts,
               link.line.timeoutMs, AttemptEndText(result.lastEnd));
  if (result.lastHeld > 0) PrintBytes(at.out, "got", link.response, result.lastHeld);
}

std::string RegistersText(const Record& record) {
  const int count = RegisterCount(record.modbusType);
  if (count <= 1) return "register " + std::to_string(record.registerRead);
  return "registers " + std::to_string(record.registerRead) + "-" + std::to_string(record.registerRead + count - 1);
}

// The record as sent: a VIB byte a scale moved in its place.
DataRecord AsSent(const DataRecord& data, std::vector<uint8_t>& vib) {
  DataRecord sent = data;
  vib.assign(data.vib, data.vib + data.vibLength);
  if (data.vibByteAt >= 0 && data.vibByteAt < data.vibLength) vib[static_cast<size_t>(data.vibByteAt)] = data.vibByte;
  sent.vib = vib.data();
  sent.vibByteAt = -1;
  return sent;
}

// What the master reads: the value in its scaled unit, or that there is none.
std::string ShownReading(const Record& record, const DataRecord& sent) {
  const RecordHeaderFields header = DecodeRecordHeader(sent.dif, sent.difLength);
  if (header.dataField == kNoDataField && sent.valueLength == 0) {
    return "no value, sent as \"no data\" with status 02h" + VifMeaning(sent);
  }
  std::string reading = ReadingOf(sent);
  if (record.scaled) reading += " (scaled by register " + std::to_string(record.scaleRegister) + ")";
  if (record.monotonic) reading += "; Monotonic: the gateway passes on no reading below the highest it has read";
  return reading;
}

void PrintRecord(const ReadContext& at, const Record& record, const DataRecord& data, int number) {
  std::vector<uint8_t> vib;
  const DataRecord sent = AsSent(data, vib);
  const RecordHeaderFields header = DecodeRecordHeader(sent.dif, sent.difLength);
  std::fprintf(at.out, "  record %d (ObjectId %u): %s\n", number, record.objectId, ShownReading(record, sent).c_str());
  std::string bytes = HexBytes(sent.dif, sent.difLength);
  if (sent.vibLength > 0) bytes += " " + HexBytes(sent.vib, sent.vibLength);
  if (sent.valueLength > 0) bytes += " " + HexBytes(sent.value, sent.valueLength);
  std::fprintf(at.out, "    %s, storage %llu, tariff %u, subunit %u; %s; record %s\n",
               kValueFunctions[header.function & kValueFunctionMask], static_cast<unsigned long long>(header.storage),
               header.tariff, header.subunit, RegistersText(record).c_str(), bytes.c_str());
}

std::string FaultText(const ReadBlock& block, const BlockReport& report, int first, ModbusFraming framing) {
  const Record& record = *block.records[report.faultyRecord];
  const std::string one = "record " + std::to_string(first + report.faultyRecord);
  switch (report.fault) {
    case BlockFault::kNone: return "";
    case BlockFault::kNoAnswer:
      return RecordsText(first, block.count) +
             (report.result.outcome == TransactionOutcome::kException ? ": the slave answered with an exception"
                                                                     : ": no valid answer");
    case BlockFault::kShortAnswer:
      return RecordsText(first, block.count) + ": a short answer, " + std::to_string(ResultCode(report.result)) +
             " bytes where " +
             std::to_string(ReadAnswerLength(framing, block.registers)) + " were needed";
    case BlockFault::kUnknownType: return one + ": unknown ModbusDT \"" + record.modbusTypeName.text + "\"";
    case BlockFault::kFunctionAbove3: return one + ": Function " + std::to_string(record.function) + " is above 3";
    case BlockFault::kTooManyBytes: return one + ": the records exceed the 240 bytes of a telegram";
  }
  return "";
}

void PrintBlock(const BlockReport& report, void* context) {
  ReadContext& at = *static_cast<ReadContext*>(context);
  const ReadBlock& block = report.block;
  ++at.blocks;
  PrintExchange(at, report);
  if (report.fault != BlockFault::kNone) {
    std::fprintf(at.out, "  not read: %s\n",
                 FaultText(block, report, at.nextRecord, at.link.port->GetFraming()).c_str());
    return;
  }
  const int first = report.records.count - block.count;
  for (int i = 0; i < block.count; ++i) {
    PrintRecord(at, *block.records[i], report.records.items[first + i], at.nextRecord + i);
  }
  at.nextRecord += block.count;
  at.records += block.count;
}

std::string ManufacturerText(const uint8_t* header) {
  const unsigned code = header[kRspUdManufacturerAt] | header[kRspUdManufacturerAt + 1] << 8;
  std::string text;
  for (int letter = 2; letter >= 0; --letter) {
    text += static_cast<char>(kManufacturerLetterBase +
                              ((code >> (kManufacturerLetterBits * letter)) & ((1u << kManufacturerLetterBits) - 1)));
  }
  return text;
}

void PrintHeader(FILE* out, const Meter& meter) {
  uint8_t header[kRspUdHeaderLength];
  EncodeRspUdHeader(RspUdHeaderOf(meter), 0, header);
  std::string id;
  for (int i = kRspUdIdNumberLength - 1; i >= 0; --i) id += HexBytes(header + kRspUdIdNumberAt + i, 1);
  std::fprintf(out, "%s, Modbus slave %u%s\n", NameOf(meter).text, meter.slaveAddress, OnLinkText(meter).c_str());
  std::fprintf(out, "  primary address %u, identification number %s, manufacturer %s, version %02Xh, medium %02Xh, "
               "status %02Xh\n", header[kLongA], id.c_str(), ManufacturerText(header).c_str(), header[kRspUdVersionAt],
               header[kRspUdMediumAt], header[kRspUdStatusAt]);
}

// One telegram of the meter's count, as the REQ_UD2 that asks for it reads it.
bool ReadOneTelegram(Link& link, const MeterModel& model, const Meter& meter, int telegram, int count,
                     ReadContext& context) {
  FILE* out = context.out;
  if (count > 1) {
    std::fprintf(out, "  telegram %d of %d (TelegramNr %u)\n", telegram + 1, count,
                 meter.telegramNrs[static_cast<size_t>(telegram)]);
  }
  context.blocks = context.records = 0;
  ReadPlan plan = EveryTelegram(count);
  plan.firstTelegram = plan.lastTelegram = telegram;
  MeterRead read;
  read.Begin(model, meter, plan);
  read.SetWatch(PrintBlock, &context);
  if (!CompleteRead(link, read)) {
    std::fprintf(out, "  not answered: a REQ_UD2 would get no answer\n");
    return false;
  }
  const bool closed = telegram < count - 1;
  std::fprintf(out, "  read: %d record(s) in %d request(s), an RSP_UD of %d bytes%s\n", context.records,
               context.blocks, RspUdLength(read.Telegrams().front().length),
               closed ? " (DIF 1F: more records follow)" : "");
  return true;
}

bool ReadMeter(LiveLinks& links, const MeterModel& model, const Meter& meter, bool multiTelegram, FILE* out) {
  PrintHeader(out, meter);
  Link* link = links.Of(meter);
  if (link == nullptr) return false;
  ReadContext context{*link, meter, out};
  const int count = TelegramCount(meter, multiTelegram);
  for (int telegram = 0; telegram < count; ++telegram) {
    if (!ReadOneTelegram(*link, model, meter, telegram, count, context)) return false;
  }
  return true;
}

}  // namespace

int ReadMetersLive(const ConfigStore& store, MeterModel model, const std::vector<int>& addresses, bool force,
                   FILE* out) {
  if (!force && GatewaySeemsToRun(out)) return kExitGatewayRunning;
  LiveLinks links(store, out);
  const bool multiTelegram = IsSwitchedOn(store, "MBusPort", "multi_telegram");

  // The meters named, in the order named (nullptr: none at that address), or all.
  std::vector<const Meter*> meters;
  for (int address : addresses) meters.push_back(MeterAtAddress(model, static_cast<uint8_t>(address)));
  if (addresses.empty()) {
    for (const Meter& meter : model.meters) meters.push_back(&meter);
  }
  int read = 0;
  for (size_t i = 0; i < meters.size(); ++i) {
    if (meters[i] == nullptr) {
      std::fprintf(out, "no meter at primary address %d\n", addresses[i]);
    } else if (ReadMeter(links, model, *meters[i], multiTelegram, out)) {
      ++read;
    }
  }
  std::fprintf(out, "%d of %d meter(s) read\n", read, static_cast<int>(meters.size()));
  return read == static_cast<int>(meters.size()) ? 0 : 1;
}

}  // namespace kestrel
