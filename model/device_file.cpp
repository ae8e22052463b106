#include "model/device_file.h"

#include <mxml.h>
#include <sys/stat.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "mbus/record_header.h"
#include "model/attributes.h"
#include "support/digest.h"

namespace kestrel {
namespace {

constexpr const char* kDeviceElement = "Device";
constexpr const char* kObjectElement = "Object";
constexpr uint64_t kBlockReadsOn = 1;  // BlockReads: anything else is off
constexpr const char* kSunSpecNoValue = "sunspec";  // Device NoValue: exactly this, else off
constexpr uint64_t kMonotonicOn = 1;  // Monotonic: anything else is off
constexpr const char* kWritableOn = "1";  // Writable: anything else refuses writes, "01" and "1 " too

// What one SAX pass collects. Objects belong to every Device with exactly
// their DeviceId, wherever either stands, so the links are made at the end:
// each distinct DeviceId text is one group.
struct Loading {
  MeterModel model;
  WrittenDocument* written = nullptr;
  bool topSeen = false;
  std::unordered_map<std::string, uint32_t> groups;
  std::vector<uint32_t> meterGroups;   // per meter
  std::vector<uint32_t> recordGroups;  // per record
  std::vector<bool> ownNoValues;       // per record: it has a NoValue of its own
};

// Only a regular file of at least one byte is a device description: a
// directory opens fine with fopen but reads as nothing.
bool IsNonEmptyRegularFile(FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return false;
  return S_ISREG(info.st_mode) && info.st_size >= 1;
}

// An optional number of its own: below 1 it is off (0); above longest,
// longest (MaxAge: the meter is then read twice a day; ModbusTimeout: a
// minute).
uint32_t OptionalLimit(const Attribute& attribute, const char* text, uint32_t longest) {
  const auto value = static_cast<int64_t>(NumberOf(attribute, text));
  if (value < 1) return 0;
  return value > longest ? longest : static_cast<uint32_t>(value);
}

// A missing attribute reads as empty text, like every other.
const char* Text(mxml_node_t* node, const Attribute& attribute) {
  const char* text = mxmlElementGetAttr(node, attribute.name);
  return text != nullptr ? text : "";
}

template <typename Field>
void Put(Field& field, mxml_node_t* node, const Attribute& attribute) {
  field = static_cast<Field>(NumberOf(attribute, Text(node, attribute)));
}

void PutTraceText(TraceText& field, const char* text) {
  std::snprintf(field.text, sizeof field.text, "%s", text);
}

uint32_t GroupOf(Loading& loading, const char* deviceId) {
  const auto group = loading.groups.emplace(deviceId, static_cast<uint32_t>(loading.groups.size()));
  return group.first->second;
}

// Every attribute, name and text, in the order written.
uint64_t DefinitionDigest(mxml_node_t* node) {
  uint64_t digest = kDigestStart;
  const int count = mxmlElementGetAttrCount(node);
  for (int i = 0; i < count; ++i) {
    const char* name = nullptr;
    const char* value = mxmlElementGetAttrByIndex(node, i, &name);
    digest = Digest(std::string(name != nullptr ? name : ""), digest);
    digest = Digest(std::string(value != nullptr ? value : ""), digest);
  }
  return digest;
}

WrittenElement WrittenTexts(mxml_node_t* node) {
  WrittenElement element;
  const int count = mxmlElementGetAttrCount(node);
  for (int i = 0; i < count; ++i) {
    const char* name = nullptr;
    const char* value = mxmlElementGetAttrByIndex(node, i, &name);
    if (name != nullptr) element.attributes.emplace_back(name, value != nullptr ? value : "");
  }
  return element;
}

void AddMeter(Loading& loading, mxml_node_t* node) {
  namespace a = attributes;
  Meter meter;
  Put(meter.primaryAddress, node, a::kPrimaryAddress);
  Put(meter.idNumber, node, a::kIdNumber);
  meter.definition = DefinitionDigest(node);
  PutTraceText(meter.idNumberText, Text(node, a::kIdNumber));
  Put(meter.medium, node, a::kMedium);
  OwnSecondaryAddress(Text(node, a::kIdNumber), Text(node, a::kMedium), meter.secondaryAddress);
  Put(meter.accessNumber, node, a::kAccessNumber);
  Put(meter.status, node, a::kStatus);
  Put(meter.slaveAddress, node, a::kSlaveAddress);
  Put(meter.initFunction, node, a::kInitFunction);
  Put(meter.initRegister, node, a::kInitRegister);
  Put(meter.base, node, a::kBase);
  meter.parity = Text(node, a::kComSettings)[0];
  Put(meter.reqUd2Orders.floatMode, node, a::kFloatModeForReqUd2);
  Put(meter.reqUd2Orders.intReverse, node, a::kIntReverseForReqUd2);
  Put(meter.sndUdOrders.floatMode, node, a::kFloatModeForSndUd);
  Put(meter.sndUdOrders.intReverse, node, a::kIntReverseForSndUd);
  meter.blockReads = NumberOf(a::kBlockReads, Text(node, a::kBlockReads)) == kBlockReadsOn;
  meter.maxAgeS = OptionalLimit(a::kMaxAge, Text(node, a::kMaxAge), kLongestMaxAgeS);
  meter.modbusTimeoutMs = OptionalLimit(a::kModbusTimeout, Text(node, a::kModbusTimeout), kLongestModbusTimeoutMs);
  meter.modbusPort = Text(node, a::kModbusPort);
  meter.sunSpecNoValue = std::strcmp(Text(node, a::kDeviceNoValue), kSunSpecNoValue) == 0;
  loading.model.meters.push_back(std::move(meter));
  loading.meterGroups.push_back(GroupOf(loading, Text(node, a::kDeviceId)));
  if (loading.written != nullptr) loading.written->devices.push_back(WrittenTexts(node));
}

std::vector<uint8_t> VibBytes(const char* text) {
  std::vector<uint8_t> bytes(std::strlen(text) / 2 + 1);
  const int count = VibToBytes(text, bytes.data(), static_cast<int>(bytes.size()));
  bytes.resize(count > 0 ? static_cast<size_t>(count) : 0);
  bytes.shrink_to_fit();
  return bytes;
}

Writability WritabilityOf(mxml_node_t* node) {
  const char* text = mxmlElementGetAttr(node, attributes::kWritable.name);
  if (text == nullptr) return Writability::kUnset;
  return std::strcmp(text, kWritableOn) == 0 ? Writability::kWritable : Writability::kNotWritable;
}

WriteLimit WriteLimitOf(mxml_node_t* node, const Attribute& attribute, ModbusType type) {
  WriteLimit limit;
  const char* text = mxmlElementGetAttr(node, attribute.name);
  if (text == nullptr) return limit;
  const bool readable = ParseValueNumber(text, HoldsReal(type), limit.number);
  limit.state = readable ? WriteLimit::State::kNumber : WriteLimit::State::kUnreadable;
  return limit;
}

// Only the few records with a limit take room for their range.
void PutWriteRange(Record& record, MeterModel& model, mxml_node_t* node) {
  WriteRange range;
  range.min = WriteLimitOf(node, attributes::kWriteMin, record.modbusType);
  range.max = WriteLimitOf(node, attributes::kWriteMax, record.modbusType);
  if (range.min.state == WriteLimit::State::kNone && range.max.state == WriteLimit::State::kNone) return;
  record.writeRange = static_cast<uint32_t>(model.writeRanges.size());
  model.writeRanges.push_back(range);
}

void AddRecord(Loading& loading, mxml_node_t* node) {
  namespace a = attributes;
  Record record;
  record.definition = DefinitionDigest(node);
  Put(record.objectId, node, a::kObjectId);
  Put(record.telegramNr, node, a::kTelegramNr);
  if (record.telegramNr == 0) record.telegramNr = kFirstTelegramNr;
  Put(record.modbusFunction, node, a::kModbusFunction);
  Put(record.registerRead, node, a::kRegisterRead);
  Put(record.registerWrite, node, a::kRegisterWrite);
  record.modbusType = ModbusTypeNamed(Text(node, a::kModbusDT));
  PutTraceText(record.modbusTypeName, Text(node, a::kModbusDT));
  Put(record.function, node, a::kFunction);
  Put(record.dataField, node, a::kMBusDT);
  Put(record.storage, node, a::kStorage);
  Put(record.tariff, node, a::kTariff);
  Put(record.subunit, node, a::kSubUnit);
  record.vib = VibBytes(Text(node, a::kVib));
  record.writable = WritabilityOf(node);
  // One that does not parse is none (kestrel-check reports it).
  ParseNoValue(Text(node, a::kNoValue), record.noValue);
  record.monotonic = NumberOf(a::kMonotonic, Text(node, a::kMonotonic)) == kMonotonicOn;
  record.scaled = mxmlElementGetAttr(node, a::kScaleRegister.name) != nullptr;
  Put(record.scaleRegister, node, a::kScaleRegister);
  PutWriteRange(record, loading.model, node);
  loading.model.records.push_back(std::move(record));
  loading.recordGroups.push_back(GroupOf(loading, Text(node, a::kOwnerId)));
  loading.ownNoValues.push_back(mxmlElementGetAttr(node, a::kNoValue.name) != nullptr);
  if (loading.written != nullptr) loading.written->objects.push_back(WrittenTexts(node));
}

// Mini-XML shapes the document by its first top-level node: a declaration
// becomes the parent of everything after it, a first element the root, and
// any other top-level node after it a parse error. That node is kept (the
// only one), so the SAX pass parses exactly as a whole-tree load would; it
// is never searched itself.
void KeepTopNode(Loading& loading, mxml_node_t* node) {
  if (loading.topSeen) return;
  loading.topSeen = true;
  mxmlRetain(node);
  const char* name = mxmlGetElement(node);
  if (loading.written != nullptr && name != nullptr) loading.written->topElement = name;
}

void OnSaxEvent(mxml_node_t* node, mxml_sax_event_t event, void* data) {
  if (node == nullptr || event == MXML_SAX_DATA || event == MXML_SAX_ELEMENT_CLOSE) return;
  Loading& loading = *static_cast<Loading*>(data);
  if (mxmlGetParent(node) == nullptr) {
    KeepTopNode(loading, node);
    return;
  }
  if (event != MXML_SAX_ELEMENT_OPEN) return;
  const char* name = mxmlGetElement(node);
  if (name == nullptr) return;
  if (std::strcmp(name, kDeviceElement) == 0) AddMeter(loading, node);
  if (std::strcmp(name, kObjectElement) == 0) AddRecord(loading, node);
}

void LinkRecords(Loading& loading) {
  std::vector<std::vector<uint32_t>> recordsOfGroup(loading.groups.size());
  for (uint32_t i = 0; i < loading.recordGroups.size(); ++i) recordsOfGroup[loading.recordGroups[i]].push_back(i);
  std::vector<Meter>& meters = loading.model.meters;
  for (size_t m = 0; m < meters.size(); ++m) meters[m].records = recordsOfGroup[loading.meterGroups[m]];
}

// NoValue="sunspec": the records without their own NoValue get their type's.
void GiveSunSpecNoValues(Loading& loading) {
  MeterModel& model = loading.model;
  for (const Meter& meter : model.meters) {
    if (!meter.sunSpecNoValue) continue;
    for (const uint32_t index : meter.records) {
      Record& record = model.records[index];
      if (!loading.ownNoValues[index]) record.noValue = SunSpecNoValue(record.modbusType);
    }
  }
}

void ListTelegrams(MeterModel& model) {
  for (Meter& meter : model.meters) {
    for (const Record& record : RecordsOf(model, meter)) meter.telegramNrs.push_back(record.telegramNr);
    std::sort(meter.telegramNrs.begin(), meter.telegramNrs.end());
    meter.telegramNrs.erase(std::unique(meter.telegramNrs.begin(), meter.telegramNrs.end()), meter.telegramNrs.end());
    meter.telegramNrs.shrink_to_fit();
  }
}

void IndexAddresses(MeterModel& model) {
  for (size_t m = model.meters.size(); m-- > 0;) {
    model.firstAtAddress[model.meters[m].primaryAddress] = static_cast<int32_t>(m);
  }
}

}  // namespace

bool WrittenElement::Has(const char* name) const {
  for (const auto& attribute : attributes) {
    if (attribute.first == name) return true;
  }
  return false;
}

std::string WrittenElement::Text(const char* name) const {
  for (const auto& attribute : attributes) {
    if (attribute.first == name) return attribute.second;
  }
  return "";
}

bool LoadDeviceFile(const std::string& path, MeterModel& model, WrittenDocument* written) {
  model = MeterModel();
  if (written != nullptr) *written = WrittenDocument();
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  if (!IsNonEmptyRegularFile(file)) {
    std::fclose(file);
    return false;
  }
  Loading loading;
  loading.written = written;
  // No type callback: element text is never looked at.
  mxml_node_t* top = mxmlSAXLoadFile(nullptr, file, MXML_NO_CALLBACK, OnSaxEvent, &loading);
  std::fclose(file);
  if (top == nullptr) {
    // Half a file is no file: what the parser saw before it gave up is dropped.
    if (written != nullptr) *written = WrittenDocument();
    return true;
  }
  mxmlDelete(top);
  LinkRecords(loading);
  GiveSunSpecNoValues(loading);
  ListTelegrams(loading.model);
  IndexAddresses(loading.model);
  loading.model.parsed = true;
  model = std::move(loading.model);
  return true;
}

}  // namespace kestrel
