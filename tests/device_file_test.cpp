// The DeviceFile loader: how each attribute converts where no answer shows
// it. Which elements count and what the gateway then does with a meter are
// golden exchanges.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/attributes.h"
#include "model/device_file.h"
#include "tests/test_util.h"

using namespace kestrel;
namespace a = kestrel::attributes;

namespace {

struct Loaded {
  bool ok = false;
  MeterModel model;
  WrittenDocument written;
};

Loaded Load(const std::string& xml) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "meters.xml", xml);
  Loaded loaded;
  loaded.ok = LoadDeviceFile(dir / "meters.xml", loaded.model, &loaded.written);
  return loaded;
}

// Which elements count is the exchange read/device_file_elements.
TEST(DeviceFileTest, AFileTheFuzzerFoundLeavesNothing) {
  MeterModel model;  // a declaration inside an unterminated attribute
  EXPECT_TRUE(LoadDeviceFile(std::string(KESTREL_SOURCE_DIR) + "/fuzz/corpus/device_file/malformed_leaks_in_mxml.xml", model));
  EXPECT_TRUE(!model.parsed && model.meters.empty() && model.records.empty());
}

// What the answers do not show of the attribute table (the rest is the
// exchange read/device_attributes): each row lands in its field, converted by its row.
TEST(DeviceFileTest, EachAttributeReachesItsField) {
  const Loaded loaded = Load(R"(<?xml version="1.0"?><M><Device AccessNumber="FF" ComSettings="e81"
      FloatMode="12" IntReverse="-1" DeviceId="m"/><Object DeviceId="m" ObjectId="259" RegisterWrite="40011"/></M>)");
  ASSERT_EQ(loaded.model.meters.size() + loaded.model.records.size(), 2u);
  const Meter& m = loaded.model.meters[0];
  const Record& r = loaded.model.records[0];
  const struct {
    const char* name;
    uint64_t field, expected;
  } cases[] = {
      {"AccessNumber", m.accessNumber, 0xFF},
      {"ComSettings", static_cast<uint64_t>(m.parity), 'e'},
      {"FloatMode, REQ_UD2", m.reqUd2Orders.floatMode, 0x12}, {"FloatMode, SND_UD", m.sndUdOrders.floatMode, 12},
      {"IntReverse, REQ_UD2", m.reqUd2Orders.intReverse, 0xFFFFFFFF},
      {"IntReverse, SND_UD", m.sndUdOrders.intReverse, 0xFFFFFFFF},
      {"ObjectId", r.objectId, 3},                {"RegisterWrite", r.registerWrite, 40011},
  };
  for (const auto& c : cases) EXPECT_EQ(c.field, c.expected) << c.name;
}

// The C conversions, cut to the row's bits; above 16 bits base 10 is strtoll.
TEST(DeviceFileTest, NumbersConvertAsTheCReadersDo) {
  const struct {
    const Attribute& attribute;
    const char* text;
    uint64_t value;
  } cases[] = {
      {a::kPrimaryAddress, " +12abc", 12},    {a::kPrimaryAddress, "-1", 0xFF},
      {a::kPrimaryAddress, "0x1F", 0},        {a::kPrimaryAddress, "", 0},
      {a::kStatus, "0x1F", 0x1F},
      {a::kRegisterRead, "99999999999999999999", 0xFFFF},
      {a::kStorage, "FFFFFFFFFFFFFFFFFF", UINT64_MAX},     // strtoull saturates
      {a::kFloatModeForSndUd, "-9223372036854775809", 0},  // strtoll saturates at its minimum
      {a::kFloatModeForSndUd, "4294967296", 0},           {a::kFloatModeForReqUd2, "10", 0x10},
      {a::kTelegramNr, "258", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(NumberOf(c.attribute, c.text), c.value) << c.attribute.name << " " << c.text;
  EXPECT_EQ(UnsignedValue(a::kFloatModeForSndUd, "-9223372036854775809"), 9223372036854775807u);
}

// Files that fail to load at all are exchanges (startup/device_file_errors).
TEST(DeviceFileTest, TheTextsKeptForTheChecker) {
  const Loaded loaded = Load(R"(<Device Status="1"><Device Vib=""/></Device>)");
  EXPECT_EQ(loaded.written.topElement, "Device");
  ASSERT_EQ(loaded.written.devices.size(), 1u);
  EXPECT_TRUE(loaded.written.devices[0].Has("Vib") && !loaded.written.devices[0].Has("Status"));
  EXPECT_EQ(Load(R"(<?xml version="1.0"?><M/>)").written.topElement, "?xml version=\"1.0\"?");
}

}  // namespace
