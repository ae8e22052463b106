#include "tests/gateway_fixture.h"

namespace gwtest {

using harness::ReqUd2;
using harness::ToHex;

namespace {

// Attributes every Device of the file shares.
constexpr const char* kOrders = R"( Manufacturer="ZQX" ComSettings="N" FloatMode="0" IntReverse="0")";

std::string Object(const std::string& device, int objectId, int function, int readRegister, int writeRegister,
                   const std::string& type, int mbusType, const std::string& storage, const std::string& vib) {
  return "  <Object DeviceId=\"" + device + "\" ObjectId=\"" + std::to_string(objectId) +
         "\" TelegramNr=\"1\" ModbusFunction=\"" + std::to_string(function) + "\" RegisterRead=\"" +
         std::to_string(readRegister) + "\" RegisterWrite=\"" + std::to_string(writeRegister) +
         "\" ModbusDT=\"" + type + "\" Function=\"0\" MBusDT=\"" + std::to_string(mbusType) + "\" Storage=\"" +
         storage + "\" Tariff=\"0\" SubUnit=\"0\" Vib=\"" + vib + "\"/>\n";
}

std::string HeaderOnlyDevice(const std::string& device, int primary, const std::string& idNumber, int slave) {
  return "  <Device DeviceId=\"" + device + "\" PrimaryAddress=\"" + std::to_string(primary) + "\" IdNumber=\"" +
         idNumber + "\" Medium=\"02\" Status=\"00\" SlaveAddress=\"" + std::to_string(slave) +
         "\" InitFunction=\"03\" InitRegister=\"0\" Base=\"0\"" + kOrders + "/>\n";
}

}  // namespace

std::string StandardMeters() {
  return std::string("<?xml version=\"1.0\"?>\n<Meters>\n") +
         HeaderOnlyDevice("short-id", 31, "1234567", 31) +
         R"(  <Device DeviceId="header-only" PrimaryAddress="1" IdNumber="12345678" Medium="02" Status="00")"
         R"( SlaveAddress="1" InitFunction="03" InitRegister="40001" Base="9C41")" + kOrders + "/>\n" +
         R"(  <Device DeviceId="two-records" PrimaryAddress="5" IdNumber="12345671" Medium="07" Status="00")"
         R"( SlaveAddress="2" InitFunction="04" InitRegister="10" Base="0")" + kOrders + ">\n" +
         Object("two-records", 1, 3, 100, 100, "INT16", 2, "0", "03") +
         Object("two-records", 2, 4, 200, 200, "FLOAT", 5, "0", "13") +
         "  </Device>\n" +
         R"(  <Device DeviceId="writer" PrimaryAddress="10" IdNumber="87654321" Medium="04" Status="05")"
         R"( SlaveAddress="1" InitFunction="03" InitRegister="40001" Base="9C41")" + kOrders + "/>\n" +
         // Objects may stand anywhere; these are linked by DeviceId only.
         Object("writer", 1, 3, 40021, 40021, "INT16", 2, "0", "FD17") +
         Object("writer", 2, 3, 40001, 40011, "INT32", 4, "1", "13") +
         Object("writer", 1, 3, 40031, 40031, "INT16", 2, "0", "03") +
         HeaderOnlyDevice("duplicate-id", 30, "12345678", 9) +
         R"(  <Device DeviceId="three-records" PrimaryAddress="20" IdNumber="11111111" Medium="03" Status="00")"
         R"( SlaveAddress="3" InitFunction="03" InitRegister="0" Base="0" Manufacturer="ZQX" ComSettings="n")"
         R"( FloatMode="0" IntReverse="0">)" "\n" +
         Object("three-records", 1, 3, 1, 1, "INT16", 2, "0", "03") +
         Object("three-records", 2, 3, 2, 2, "INT16", 2, "0", "03") +
         Object("three-records", 3, 3, 3, 3, "INT16", 2, "0", "03") +
         "  </Device>\n" +
         HeaderOnlyDevice("first-at-7", 7, "22222222", 71) +
         HeaderOnlyDevice("second-at-7", 7, "22222223", 72) +
         HeaderOnlyDevice("at-253", 253, "33333333", 53) +
         R"(  <Device DeviceId="at-254" PrimaryAddress="254" IdNumber="44444444" Medium="02" Status="00")"
         R"( SlaveAddress="54" InitFunction="03" InitRegister="0" Base="0")" + kOrders + ">\n" +
         Object("at-254", 1, 3, 7, 7, "INT16", 2, "0", "03") +
         "  </Device>\n" +
         R"(  <Device DeviceId="init-writes" PrimaryAddress="40" IdNumber="55555555" Medium="02" Status="00")"
         R"( SlaveAddress="5" InitFunction="06" InitRegister="100" Base="0")" + kOrders + "/>\n" +
         "</Meters>\n";
}

void LoadStandardRegisters(harness::ScriptedModbusSlave& slave) {
  slave.SetHolding(kTwoRecords.slave, 100, {0x1234});
  slave.SetInput(kTwoRecords.slave, 200, {0x4148, 0x0000});  // 12.5
  slave.SetHolding(kWriter.slave, 0, {0x1122, 0x3344});
  slave.SetHolding(kWriter.slave, 20, {0x0BB8});
  slave.SetHolding(kWriter.slave, 30, {0xFFFE});
  slave.SetHolding(kThreeRecords.slave, 1, {1, 2, 3});
  slave.SetHolding(kAt254.slave, 7, {7});
}

Bytes RecordsOf(const Meter& meter) {
  if (meter.primary == kTwoRecords.primary) return Hex("02 03 34 12  05 13 00 00 48 41");
  if (meter.primary == kWriter.primary) return Hex("02 FD 17 B8 0B  44 13 44 33 22 11  02 03 FE FF");
  if (meter.primary == kThreeRecords.primary) return Hex("02 03 01 00  02 03 02 00  02 03 03 00");
  return {};
}

Bytes Telegram(const Meter& meter, uint8_t access, const Bytes& records) {
  return harness::RspUd(meter.primary, meter.idNumber, meter.medium, access, records, meter.status);
}

// InitRegister minus Base is 0 for every meter whose InitFunction is 03.
Bytes InitRequest(const Meter& meter) { return harness::WithCrc({meter.slave, 0x03, 0x00, 0x00, 0x00, 0x01}); }

void GatewayTest::ChooseSides() {
  rig.ModbusOnPty();
  rig.MBusOnTcp();
}

void GatewayTest::SetUp() {
  ChooseSides();
  rig.SetDeviceFile(StandardMeters());
  if (rig.HasSlave()) LoadStandardRegisters(rig.slave());
}

void GatewayTest::StartGateway() { ASSERT_TRUE(rig.Start()); }

uint8_t GatewayTest::ExpectTelegramFrom(uint8_t address, const Meter& meter) {
  const Bytes answer = rig.Ask(ReqUd2(address));
  if (answer.size() <= harness::kAccessOffset) {
    ADD_FAILURE() << "REQ_UD2 to " << int(address) << " brought " << ToHex(answer);
    return 0;
  }
  const uint8_t access = answer[harness::kAccessOffset];
  EXPECT_EQ(ToHex(answer), ToHex(Telegram(meter, access, RecordsOf(meter)))) << "REQ_UD2 to " << int(address);
  return access;
}

::testing::AssertionResult GatewayTest::ExpectUnanswered(const Bytes& frame) {
  const ::testing::AssertionResult traced = rig.SendTraced(frame);
  if (!traced) return traced;
  const Bytes next = rig.Ask(ReqUd2(kHeaderOnly.primary));
  const Bytes expected = Telegram(kHeaderOnly, next.size() > harness::kAccessOffset ? next[harness::kAccessOffset] : 0);
  if (next == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "after " << ToHex(frame) << " the next frame was " << ToHex(next)
                                       << ", not the answer to the REQ_UD2 that followed";
}

::testing::AssertionResult GatewayTest::Select(const Bytes& pattern) {
  const Bytes answer = rig.Ask(harness::Selection(pattern));
  if (answer == Bytes{harness::kAck}) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "selection " << ToHex(pattern) << " brought " << ToHex(answer);
}

void GatewayTest::Run(const Exchange& exchange) {
  const auto requests = RequestsDuring([&] {
    if (exchange.acknowledged) {
      EXPECT_EQ(ToHex(rig.Ask(exchange.frame)), "E5") << exchange.what;
    } else {
      EXPECT_TRUE(ExpectUnanswered(exchange.frame)) << exchange.what;
    }
  });
  EXPECT_EQ(requests, exchange.modbus) << exchange.what;
}

std::vector<Bytes> GatewayTest::RequestsDuring(const std::function<void()>& exchange) {
  rig.slave().ClearRequests();
  exchange();
  return rig.slave().Requests();
}

}  // namespace gwtest
