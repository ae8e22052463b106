#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "meter/device_file.h"
#include "tests/test_util.h"

using testutil::TempDir;
using testutil::WriteFile;

namespace {

class DeviceFileTest : public ::testing::Test {
 protected:
  void TearDown() override { FreeDeviceTree(tree); }

  // Writes the XML to a file and loads it; the tree is freed after the test.
  bool Load(const std::string& xml) {
    FreeDeviceTree(tree);
    const std::string path = dir / "meters.xml";
    WriteFile(path, xml);
    return LoadDeviceFile(path, tree);
  }

  std::vector<std::string> DeviceIds() {
    std::vector<std::string> ids;
    for (Element d = FirstDevice(tree); d != nullptr; d = NextDevice(tree, d)) {
      ids.push_back(AttributeText(d, "DeviceId"));
    }
    return ids;
  }

  std::vector<std::string> ObjectIdsOf(const char* deviceId) {
    std::vector<std::string> ids;
    for (Element o = FirstObject(tree, deviceId); o != nullptr; o = NextObject(tree, o, deviceId)) {
      ids.push_back(AttributeText(o, "ObjectId"));
    }
    return ids;
  }

  std::string DeviceIdAt(uint8_t address) {
    Element device = FindDeviceByPrimaryAddress(tree, address);
    return device != nullptr ? AttributeText(device, "DeviceId") : "(none)";
  }

  TempDir dir;
  DeviceTree tree;
};

using Ids = std::vector<std::string>;

// Elements at any depth, in document order; Objects linked by exact DeviceId.
constexpr const char* kMetersWithDeclaration = R"(<?xml version="1.0" encoding="UTF-8"?>
<Meters>
  <Object DeviceId="A" ObjectId="1"/>
  <Device DeviceId="A" PrimaryAddress="300">
    <Object DeviceId="A" ObjectId="2"/>
    <Object DeviceId="a" ObjectId="3"/>
    <Device DeviceId="B" PrimaryAddress="44">
      <Object DeviceId="A" ObjectId="4"/>
    </Device>
  </Device>
  <Group><Object DeviceId="A" ObjectId="5">text is ignored</Object></Group>
  <Device DeviceId="C" PrimaryAddress="7"/>
  <Object DeviceId="Z" ObjectId="6"/>
</Meters>
)";

TEST_F(DeviceFileTest, WithDeclarationEveryElementIsFoundInDocumentOrder) {
  ASSERT_TRUE(Load(kMetersWithDeclaration));
  EXPECT_EQ(DeviceIds(), (Ids{"A", "B", "C"}));
  EXPECT_EQ(ObjectIdsOf("A"), (Ids{"1", "2", "4", "5"}));
  EXPECT_EQ(ObjectIdsOf("a"), (Ids{"3"}));  // letter case counts
  EXPECT_EQ(ObjectIdsOf("B"), Ids{});
  EXPECT_EQ(ObjectIdsOf("Z"), (Ids{"6"}));
}

TEST_F(DeviceFileTest, PrimaryAddressIsCutToEightBitsAndTheFirstWins) {
  ASSERT_TRUE(Load(kMetersWithDeclaration));
  EXPECT_EQ(DeviceIdAt(44), "A");  // 300 modulo 256; B, also 44, comes later
  EXPECT_EQ(DeviceIdAt(7), "C");
  EXPECT_EQ(DeviceIdAt(8), "(none)");
}

TEST_F(DeviceFileTest, WithoutDeclarationTheFirstElementIsTopAndNeverFound) {
  ASSERT_TRUE(Load(R"(<Device DeviceId="T" PrimaryAddress="1">
  <Device DeviceId="A" PrimaryAddress="2"/>
  <Object DeviceId="T" ObjectId="1"/>
</Device>
)"));
  EXPECT_EQ(DeviceIds(), (Ids{"A"}));
  EXPECT_EQ(DeviceIdAt(1), "(none)");
  EXPECT_EQ(DeviceIdAt(2), "A");
  EXPECT_EQ(ObjectIdsOf("T"), (Ids{"1"}));

  ASSERT_TRUE(Load(R"(<Object DeviceId="X" ObjectId="1"/>)"));
  EXPECT_EQ(ObjectIdsOf("X"), Ids{});
}

TEST_F(DeviceFileTest, NumericReadersFollowTheCConversions) {
  ASSERT_TRUE(Load(R"(<?xml version="1.0"?>
<Device A="300" B=" +12abc" C="0x1F" D="-1" E="zz" F="70000"
        G="99999999999999999999" H="FFFFFFFFFFFFFFFFFF" I="9C41"/>
)"));
  Element d = FirstDevice(tree);
  ASSERT_NE(d, nullptr);
  struct Case {
    const char* name;
    bool hex;
    uint8_t as8;
    uint16_t as16;
    uint64_t as64;
  } cases[] = {
      {"A", false, 44, 300, 300},
      {"A", true, 0x00, 0x300, 0x300},
      {"B", false, 12, 12, 12},  // white space and sign allowed, garbage behind ignored
      {"B", true, 0xBC, 0x2ABC, 0x12ABC},
      {"C", true, 0x1F, 0x1F, 0x1F},
      {"C", false, 0, 0, 0},  // stops at the x
      {"D", false, 0xFF, 0xFFFF, UINT64_MAX},
      {"E", false, 0, 0, 0},
      {"F", false, 0x70, 70000 & 0xFFFF, 70000},
      {"G", false, 0xFF, 0xFFFF, uint64_t(INT64_MAX)},  // strtoll saturates in base 10
      {"H", true, 0xFF, 0xFFFF, UINT64_MAX},
      {"I", true, 0x41, 0x9C41, 0x9C41},
      {"Missing", false, 0, 0, 0},
      {"Missing", true, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.hex ? " hex" : " decimal"));
    EXPECT_EQ(ReadAttribute8(d, c.name, c.hex), c.as8);
    EXPECT_EQ(ReadAttribute16(d, c.name, c.hex), c.as16);
    EXPECT_EQ(ReadAttribute64(d, c.name, c.hex), c.as64);
  }
}

TEST_F(DeviceFileTest, AccessNumberCountsModuloTheByte) {
  ASSERT_TRUE(Load(R"(<?xml version="1.0"?>
<Meters><Device PrimaryAddress="1" AccessNumber="FF"/></Meters>)"));
  Element d = FirstDevice(tree);
  ASSERT_NE(d, nullptr);
  const uint8_t sent = ReadAttribute8(d, "AccessNumber", true);
  EXPECT_EQ(sent, 0xFF);
  WriteAttribute(d, "AccessNumber", sent + 1u, 2, true);
  EXPECT_STREQ(AttributeText(d, "AccessNumber"), "100");
  EXPECT_EQ(ReadAttribute8(d, "AccessNumber", true), 0x00);
  WriteAttribute(d, "AccessNumber", 0x0B, 2, true);
  EXPECT_STREQ(AttributeText(d, "AccessNumber"), "0B");

  WriteAttribute(d, "Created", 7, 3, false);  // a missing attribute is created
  EXPECT_STREQ(AttributeText(d, "Created"), "007");
  WriteAttribute(d, "Created", 4294967295u, 2, false);
  EXPECT_STREQ(AttributeText(d, "Created"), "4294967295");
}

// A missing attribute reads as empty text: never a null pointer, numbers 0.
TEST_F(DeviceFileTest, MissingAttributesReadAsEmpty) {
  ASSERT_TRUE(Load(R"(<?xml version="1.0"?><Meters><Device/><Object/><Object DeviceId="A"/></Meters>)"));
  Element d = FirstDevice(tree);
  ASSERT_NE(d, nullptr);
  ASSERT_NE(AttributeText(d, "DeviceId"), nullptr);
  EXPECT_STREQ(AttributeText(d, "ComSettings"), "");
  EXPECT_EQ(ReadAttribute8(d, "PrimaryAddress", false), 0);
  EXPECT_EQ(ReadAttribute64(d, "Base", true), 0u);
  EXPECT_EQ(DeviceIdAt(0), "");
  // A Device without DeviceId owns the Objects without one, as equal empty texts.
  EXPECT_EQ(ObjectIdsOf(AttributeText(d, "DeviceId")).size(), 1u);
  EXPECT_EQ(ObjectIdsOf(nullptr).size(), 1u);
  EXPECT_STREQ(AttributeText(nullptr, "DeviceId"), "");
}

TEST_F(DeviceFileTest, EmptyMissingOrNonRegularFilesFailToLoad) {
  EXPECT_FALSE(Load(""));
  EXPECT_EQ(tree.top, nullptr);
  EXPECT_FALSE(LoadDeviceFile(dir / "absent.xml", tree));
  ASSERT_EQ(mkdir((dir / "folder.xml").c_str(), 0755), 0);
  EXPECT_FALSE(LoadDeviceFile(dir / "folder.xml", tree));
  EXPECT_EQ(tree.top, nullptr);
}

TEST_F(DeviceFileTest, UnparsableFileLoadsAsAGatewayWithoutMeters) {
  ASSERT_TRUE(Load(R"(<?xml version="1.0"?><Meters><Device PrimaryAddress="1" DeviceId="A"></Meters>)"));
  EXPECT_EQ(tree.top, nullptr);
  EXPECT_EQ(FirstDevice(tree), nullptr);
  EXPECT_EQ(DeviceIdAt(1), "(none)");
  EXPECT_EQ(FirstObject(tree, "A"), nullptr);
  FreeDeviceTree(tree);  // safe on an empty tree, and twice
  EXPECT_EQ(tree.top, nullptr);
}

}  // namespace
