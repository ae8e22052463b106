// kestrel-check on the example configuration with one fault put in at a
// time: each case expects exactly its own findings and the exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

using testutil::ReadFile;
using testutil::RunProgram;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

constexpr int kClean = 0;
constexpr int kErrors = 1;
constexpr int kWarningsOnly = 2;

// One more meter, inserted before </Meters> (after the example's three).
std::string SecondDevice(const std::string& primaryAddress, const std::string& idNumber) {
  return "<Device PrimaryAddress=\"" + primaryAddress + "\" DeviceId=\"heat2\" IdNumber=\"" +
         idNumber +
         "\" Manufacturer=\"ZQX\" Medium=\"04\" Status=\"00\" SlaveAddress=\"2\" "
         "InitFunction=\"03\" InitRegister=\"40001\" Base=\"9C41\" ComSettings=\"E\" "
         "FloatMode=\"0\" IntReverse=\"0\"/>\n</Meters>";
}

// 30 more records of 8 bytes each (UINT48, DIF 06, VIF 22): 40 + 240 bytes.
std::string ThirtyMoreRecords() {
  std::string records;
  for (int i = 0; i < 30; ++i) {
    records +=
        "<Object DeviceId=\"heat1\" ObjectId=\"9\" TelegramNr=\"1\" ModbusFunction=\"3\" "
        "RegisterRead=\"40011\" RegisterWrite=\"40011\" ModbusDT=\"UINT48\" Function=\"0\" "
        "MBusDT=\"6\" Storage=\"0\" Tariff=\"0\" SubUnit=\"0\" Vib=\"22\"/>\n";
  }
  return records + "</Device>";
}

const char* const kObject1 = "Object #1 (DeviceId \"heat1\", ObjectId \"1\") ";
const char* const kDevice1 = "Device #1 (DeviceId \"heat1\") ";

// A finding line: its severity and a fragment of the rest.
struct Expected {
  std::string severity;
  std::string text;
};
Expected E(const std::string& text) { return {"error: ", text}; }
Expected W(const std::string& text) { return {"warning: ", text}; }

struct Case {
  std::string name;
  std::string file;     // below config/
  std::string search;   // its first occurrence is replaced; "" replaces the whole file
  std::string replace;  // with remove set, the file is deleted instead
  int status;
  std::vector<Expected> findings;  // one per finding line, in order
  bool remove = false;
};

std::vector<Case> Cases() {
  const std::string object1 = kObject1;
  const std::string device1 = kDevice1;
  return {
      // MainConfig and HardwareConfig.
      {"UnknownPortType", "kestrel.ini", "porttype = SER", "porttype = serial", kErrors,
       {E("kestrel.ini: [ModbusPort] porttype=\"serial\": not SER, TCP or UDP")}},
      {"UnknownSerialInterface", "kestrel.ini", "sercomport = RS485", "sercomport = RS422", kErrors,
       {E("kestrel.ini: [ModbusPort] sercomport=\"RS422\": not RS232, RS485")}},
      {"RefusedBaudRate", "kestrel.ini", "serbaudrate = 9600", "serbaudrate = 9601", kErrors,
       {E("kestrel.ini: [ModbusPort] serbaudrate=\"9601\": the serial port takes 300")}},
      {"RefusedDataBits", "kestrel.ini", "serbits = 8", "serbits = 9", kErrors,
       {E("kestrel.ini: [ModbusPort] serbits=\"9\": data bits are 5 to 8")}},
      {"RefusedParity", "kestrel.ini", "serparity = E", "serparity = X", kErrors,
       {E("kestrel.ini: [ModbusPort] serparity=\"X\": parity is E, O, N, M or S")}},
      {"MissingParity", "kestrel.ini", "serparity = E", "", kErrors,
       {E("kestrel.ini: [ModbusPort] serparity (missing): parity is")}},
      {"RefusedStopBits", "kestrel.ini", "serstopbit = 1", "serstopbit = 3", kErrors,
       {E("kestrel.ini: [ModbusPort] serstopbit=\"3\": stop bits are 1 or 2")}},
      {"SerialInterfaceMissingFromHardware", "corvid_hw.ini", "RS485 = /dev/ttyS1", "", kErrors,
       {E("corvid_hw.ini: [Main] RS485 (missing): no device path for sercomport RS485 of "
          "[ModbusPort]")}},
      {"LocalInterfaceMissingFromHardware", "kestrel.ini", "localip = ALL", "localip = WLAN",
       kWarningsOnly,
       {W("corvid_hw.ini: [Main] WLAN (missing): no network interface for localip WLAN of "
          "[MBusPort]")}},
      {"ClientWithoutRemoteHost", "kestrel.ini", "server = 1", "server = 0", kErrors,
       {E("kestrel_default.ini: [MBusPort] remoteip=\"\": a client port needs a remote host")}},
      {"AllowEntryThatIsNoRange", "kestrel.ini", "localport = 10001",
       "localport = 10001\nallow = 10.0.0.0/8, 10.0.0.0/33", kErrors,
       {E("kestrel.ini: [MBusPort] allow=\"10.0.0.0/8, 10.0.0.0/33\": \"10.0.0.0/33\" is not an IPv4 "
          "address or CIDR range")}},
      {"NoDeviceFileName", "kestrel.ini", "FILENAME = meters.xml", "", kErrors,
       {E("kestrel.ini: [Main] FILENAME (missing): names no DeviceFile")}},
      {"LedSwitchThatIsNotYes", "kestrel.ini", "enable_leds = no", "enable_leds = 1",
       kWarningsOnly, {W("kestrel.ini: [Main] enable_leds=\"1\": only yes switches")}},
      {"MissingIniFile", "corvid_hw.ini", "", "", kErrors,
       {E("corvid_hw.ini: file: missing or unreadable")}, true},
      // DeviceFile: data types and record headers.
      {"UnknownModbusType", "meters.xml", "ModbusDT=\"UINT32\"", "ModbusDT=\"UINT33\"", kErrors,
       {E(object1 + "ModbusDT=\"UINT33\": unknown type")}},
      {"LowerCaseModbusType", "meters.xml", "ModbusDT=\"UINT32\"", "ModbusDT=\"uint32\"", kErrors,
       {E(object1 + "ModbusDT=\"uint32\": type names are case-sensitive: write UINT32")}},
      {"FunctionAboveThree", "meters.xml", "Function=\"0\"", "Function=\"4\"", kErrors,
       {E(object1 + "Function=\"4\": above 3")}},
      {"DataFieldAboveFifteen", "meters.xml", "MBusDT=\"4\"", "MBusDT=\"16\"", kErrors,
       {E(object1 + "MBusDT=\"16\": above 15")}},
      {"DataFieldOfAnotherLength", "meters.xml", "MBusDT=\"4\"", "MBusDT=\"2\"", kErrors,
       {E(object1 + "MBusDT=\"2\": does not match ModbusDT=\"UINT32\", whose 4 value bytes need "
                    "MBusDT 4")}},
      {"FloatDeclaredAsInteger", "meters.xml", "ModbusDT=\"FLOAT\" Function=\"0\" MBusDT=\"5\"",
       "ModbusDT=\"FLOAT\" Function=\"0\" MBusDT=\"4\"", kWarningsOnly,
       {W("Object #3 (DeviceId \"heat1\", ObjectId \"3\") MBusDT=\"4\": declares a 32-bit "
          "integer")}},
      {"RecordsBeyondOneTelegram", "meters.xml", "</Device>", ThirtyMoreRecords(), kErrors,
       {E("meters.xml: Device #1 (DeviceId \"heat1\"): its records take 280 bytes")}},
      {"OddVib", "meters.xml", "Vib=\"06\"", "Vib=\"061\"", kErrors,
       {E(object1 + "Vib=\"061\": odd number of digits")}},
      {"NonHexVib", "meters.xml", "Vib=\"06\"", "Vib=\"0G\"", kErrors,
       {E(object1 + "Vib=\"0G\": \"0G\" is not a pair of hexadecimal digits")}},
      // DeviceFile: meter identity and addressing.
      {"ShortIdNumber", "meters.xml", "IdNumber=\"12345678\"", "IdNumber=\"1234567\"", kErrors,
       {E(device1 + "IdNumber=\"1234567\": not eight decimal digits")}},
      {"HexIdNumber", "meters.xml", "IdNumber=\"12345678\"", "IdNumber=\"1234567A\"", kErrors,
       {E(device1 + "IdNumber=\"1234567A\": not eight decimal digits")}},
      {"OneDigitMedium", "meters.xml", "Medium=\"04\"", "Medium=\"4\"", kErrors,
       {E(device1 + "Medium=\"4\": not two hexadecimal digits")}},
      {"WildcardMedium", "meters.xml", "Medium=\"04\"", "Medium=\"ff\"", kErrors,
       {E(device1 + "Medium=\"ff\": FF is the wildcard medium")}},
      {"DuplicatePrimaryAddress", "meters.xml", "</Meters>", SecondDevice("1", "12345679"), kErrors,
       {E("Device #4 (DeviceId \"heat2\") PrimaryAddress=\"1\": primary address 1 is Device #1")}},
      {"DuplicateIdNumber", "meters.xml", "</Meters>", SecondDevice("9", "12345678"), kErrors,
       {E("Device #4 (DeviceId \"heat2\") IdNumber=\"12345678\": also the IdNumber of Device #1")}},
      {"ObjectOfNoDevice", "meters.xml", "<Object DeviceId=\"heat1\"", "<Object DeviceId=\"heat9\"",
       kWarningsOnly,
       {W("Object #1 (DeviceId \"heat9\", ObjectId \"1\") DeviceId=\"heat9\": matches no Device")}},
      {"ObjectOfDeviceInOtherCase", "meters.xml", "<Object DeviceId=\"heat1\"",
       "<Object DeviceId=\"Heat1\"", kErrors,
       {E("Object #1 (DeviceId \"Heat1\", ObjectId \"1\") DeviceId=\"Heat1\": differs from "
          "Device #1 (DeviceId \"heat1\") only in letter case")}},
      {"MissingAttribute", "meters.xml", " Status=\"00\"", "", kErrors,
       {E(device1 + "Status (missing): missing: no attribute has a default")}},
      {"SelectorAboveThree", "meters.xml", "IntReverse=\"0\"", "IntReverse=\"4\"", kErrors,
       {E(device1 + "IntReverse=\"4\": above 3: selectors are 0 to 3")}},
      {"InitFunctionSix", "meters.xml", "InitFunction=\"03\"", "InitFunction=\"06\"", kErrors,
       {E(device1 + "InitFunction=\"06\": the answer to function 06h is never accepted")}},
      {"RegisterWrittenInHex", "meters.xml", "RegisterRead=\"40001\"", "RegisterRead=\"0x9C41\"",
       kErrors, {E(object1 + "RegisterRead=\"0x9C41\": not a decimal number: read as 0")}},
      {"AddressTooWide", "meters.xml", "PrimaryAddress=\"1\"", "PrimaryAddress=\"300\"", kErrors,
       {E(device1 + "PrimaryAddress=\"300\": above 255")}},
      {"MeterAsTopElement", "meters.xml", "", "<Device PrimaryAddress=\"1\" DeviceId=\"heat1\"/>\n",
       kErrors,
       {E("meters.xml: top element <Device>: is never found"),
        W("meters.xml: document: holds no Device")}},
      {"MissingDeviceFile", "meters.xml", "", "", kErrors,
       {E("meters.xml: file: missing, unreadable or empty")}, true},
  };
}

void PrepareExampleRoot(const TempDir& root) {
  std::filesystem::create_directories(root / "tmp");
  std::filesystem::copy(std::string(KESTREL_SOURCE_DIR) + "/config", root / "config");
}

// Applies the case's fault; false when its search text is not in the file.
bool PutFault(const TempDir& root, const Case& c) {
  const std::string path = root / ("config/" + c.file);
  if (c.remove) return std::filesystem::remove(path);
  if (c.search.empty()) {
    WriteFile(path, c.replace);
    return true;
  }
  std::string content = ReadFile(path);
  const size_t at = content.find(c.search);
  if (at == std::string::npos) return false;
  WriteFile(path, content.replace(at, c.search.size(), c.replace));
  return true;
}

std::vector<std::string> FindingLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("error: ", 0) == 0 || line.rfind("warning: ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

testutil::RunResult RunCheck(const TempDir& root, std::vector<std::string> args = {}) {
  return RunProgram(KESTREL_CHECK_BINARY, root.path(), args);
}

class KestrelCheckFindsFault : public ::testing::TestWithParam<Case> {};

TEST_P(KestrelCheckFindsFault, ReportsExactlyThisFinding) {
  const Case& c = GetParam();
  TempDir root;
  PrepareExampleRoot(root);
  ASSERT_TRUE(PutFault(root, c)) << "the example " << c.file << " no longer holds " << c.search;

  const testutil::RunResult result = RunCheck(root, {"-q"});
  EXPECT_EQ(result.status, c.status) << result.out;
  const std::vector<std::string> lines = FindingLines(result.out);
  ASSERT_EQ(lines.size(), c.findings.size()) << result.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind(c.findings[i].severity, 0), 0u) << lines[i];
    EXPECT_NE(lines[i].find(c.findings[i].text), std::string::npos) << lines[i];
  }
}

INSTANTIATE_TEST_SUITE_P(OneFaultPerFile, KestrelCheckFindsFault, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(KestrelCheck, TheExamplesAreCleanAndTheHeatMeterTelegramIsShown) {
  TempDir root;
  PrepareExampleRoot(root);
  const testutil::RunResult result = RunCheck(root);
  EXPECT_EQ(result.status, kClean) << result.out;
  EXPECT_TRUE(FindingLines(result.out).empty()) << result.out;
  EXPECT_NE(result.out.find("no findings"), std::string::npos);
  // The RSP_UD of the README's worked example: 7 records of 40 bytes.
  const char* const expected[] = {
      "RSP_UD 61 bytes, 7 record(s) of 40 bytes; header 68 37 37 68 08 01 72 78 56 34 12 38 6A 10 "
      "04 AN 00 00 00",
      "DIF/DIFE 04  VIF 06  + 4 value bytes (6 bytes)",
      "reads 2 register(s) of UINT32 from register 40001: request 01 03 00 00 00 02 C4 0B",
      "DIF/DIFE 05  VIF 2E  + 4 value bytes (6 bytes)",
      "DIF/DIFE 44  VIF 06  + 4 value bytes (6 bytes)",
      "DIF/DIFE 06  VIF 22  + 6 value bytes (8 bytes)",
  };
  for (const char* line : expected) EXPECT_NE(result.out.find(line), std::string::npos) << line;
}

TEST(KestrelCheck, ExplicitPathsReplaceTheGatewaysOwn) {
  TempDir root;
  PrepareExampleRoot(root);
  TempDir elsewhere;
  WriteFile(elsewhere / "odd.xml", ReadFile(root / "config/meters.xml"));
  std::filesystem::remove(root / "config/meters.xml");
  const testutil::RunResult result = RunCheck(root, {"-q", "-d", elsewhere / "odd.xml"});
  EXPECT_EQ(result.status, kClean) << result.out;

  const testutil::RunResult usage = RunCheck(root, {"-x"});
  EXPECT_EQ(usage.status, kErrors);
  EXPECT_NE(usage.out.find("usage:"), std::string::npos);
}

}  // namespace
