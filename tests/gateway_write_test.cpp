// SND_UD, application reset and SND_NKE end to end: the Modbus request each
// one makes, and when it is acknowledged with E5h.
#include <gtest/gtest.h>

#include "tests/gateway_fixture.h"

using harness::ApplicationReset;
using harness::Bytes;
using harness::Hex;
using harness::ModbusReply;
using harness::SndNke;
using harness::SndUd;
using harness::WithCrc;

namespace gwtest {
namespace {

using GatewayWriteTest = GatewayTest;

const Bytes kWriterObject2 = Hex("01 10 00 0A 00 02 04 11 22 33 44 C2 25");
const Bytes kAt254Object1 = WithCrc(Hex("36 10 00 07 00 01 02 00 07"));
const Bytes kTwoRecordsObject1 = WithCrc(Hex("02 10 00 64 00 01 02 12 34"));

TEST_F(GatewayWriteTest, SndUdWritesTheNamedObjectOfTheAddressedMeter) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const std::vector<Exchange> rows = {
      {"INT32 object 2", SndUd(10, 2, Hex("44 33 22 11")), true, {kWriterObject2}},
      // ObjectId 1 twice: only the first (register 40021) is ever written.
      {"first of two objects 1", SndUd(10, 1, Hex("B8 0B")), true, {WithCrc(Hex("01 10 00 14 00 01 02 0B B8"))}},
      {"FEh is primary address 254", SndUd(0xFE, 1, Hex("07 00")), true, {kAt254Object1}},
      {"exception answer", SndUd(5, 1, Hex("34 12")), true, {kTwoRecordsObject1}},
      {"no object 3", SndUd(10, 3, Hex("01 00")), false, {}},
      {"FDh without selection: 253, no objects", SndUd(0xFD, 1, Hex("01 00")), false, {}},
      {"no meter at 99", SndUd(99, 1, Hex("01 00")), false, {}},
      {"value shorter than INT32", SndUd(10, 2, Hex("44 33")), false, {}},
      {"no response", SndUd(5, 1, Hex("34 12")), false, {kTwoRecordsObject1}},
  };
  for (const Exchange& row : rows) {
    if (row.what == "exception answer") rig.slave().Then(ModbusReply::Exception(3));
    if (row.what == "no response") rig.slave().Then(ModbusReply::Silent());
    Run(row);
  }
  EXPECT_EQ(rig.slave().Holding(kWriter.slave, 10), 0x1122);
  EXPECT_EQ(rig.slave().Holding(kWriter.slave, 11), 0x3344);
  const std::string trace = rig.Trace();
  EXPECT_NE(trace.find("Request to Modbus Meter\n" + harness::TraceDump(kWriterObject2) +
                       "Response from Modbus Meter\n" + harness::TraceDump(WithCrc(Hex("01 10 00 0A 00 02")))),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("Error from Modbus Meter\n" + harness::TraceDump(WithCrc(Hex("02 90 03")))), std::string::npos)
      << trace;
  // The line comes for the missing object and for 253's empty list, not for
  // an address without a meter.
  EXPECT_EQ(harness::CountOf(trace, "M-Bus error, object for writing found\n"), 2u) << trace;

  // An answer that comes after the poll count is no answer (kept last: the
  // late bytes reach the line after the transaction has given up).
  rig.slave().Then(ModbusReply::Answer(2 * rig.modbusTimeout()));
  Run({"late response", SndUd(5, 1, Hex("34 12")), false, {kTwoRecordsObject1}});
}

TEST_F(GatewayWriteTest, SndNkeAndResetSendTheInitialisingRequest) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const Bytes init06 = Hex("05 06 00 64 00 01 08 51");
  const std::vector<Exchange> rows = {
      {"SND_NKE 1", SndNke(1), true, {Hex("01 03 00 00 00 01 84 0A")}},
      {"SND_NKE 5", SndNke(5), true, {kTwoRecordsInit}},
      {"SND_NKE FEh", SndNke(0xFE), true, {InitRequest(kAt254)}},
      {"SND_NKE FDh", SndNke(0xFD), true, {InitRequest(kAt253)}},
      {"SND_NKE 7", SndNke(7), true, {InitRequest(kFirstAt7)}},
      {"SND_NKE exception", SndNke(1), true, {InitRequest(kHeaderOnly)}},
      // The echo of function 06 is never taken for an answer.
      {"SND_NKE 40", SndNke(40), false, {init06}},
      {"SND_NKE 99", SndNke(99), false, {}},
      {"reset 1", ApplicationReset(1), true, {InitRequest(kHeaderOnly)}},
      {"reset FEh", ApplicationReset(0xFE), true, {InitRequest(kAt254)}},
      {"reset FDh", ApplicationReset(0xFD), true, {InitRequest(kAt253)}},
      {"reset exception", ApplicationReset(5), true, {kTwoRecordsInit}},
      {"reset silent", ApplicationReset(5), false, {kTwoRecordsInit}},
      {"reset 99", ApplicationReset(99), false, {}},
  };
  for (const Exchange& row : rows) {
    if (row.what.find("exception") != std::string::npos) rig.slave().Then(ModbusReply::Exception(4));
    if (row.what == "reset silent") rig.slave().Then(ModbusReply::Silent());
    Run(row);
  }
  const std::string trace = rig.Trace();
  EXPECT_NE(trace.find("Request to Modbus after SND_NKE\n01 03 00 00 00 01 84 0a \n\nResponse from Modbus Meter\n" +
                       harness::TraceDump(WithCrc(Hex("01 03 02 11 22")))),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("Request to Modbus after SND_NKE\n" + harness::TraceDump(init06) +
                       "Error from Modbus Meter\nModbus Error, errno = -257\n"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("M-Bus in message\n10 40 63 a3 16 \n\nM-Bus error, Meter not found\n"), std::string::npos)
      << trace;
  EXPECT_NE(trace.find("Request to Modbus Meter\n" + harness::TraceDump(kTwoRecordsInit) +
                       "Error from Modbus Meter\nModbus error, timeout\n"),
            std::string::npos)
      << trace;
}

TEST_F(GatewayWriteTest, WithASelectionOnlyFDhMeansTheSelectedMeter) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const Bytes writerPattern = Hex("21 43 65 87 FF FF FF FF");
  ASSERT_TRUE(Select(writerPattern));
  Run({"SND_UD FDh", SndUd(0xFD, 2, Hex("44 33 22 11")), true, {kWriterObject2}});
  Run({"SND_UD FEh", SndUd(0xFE, 1, Hex("07 00")), true, {kAt254Object1}});
  Run({"SND_UD 5", SndUd(5, 1, Hex("34 12")), true, {kTwoRecordsObject1}});
  ExpectSelected(kWriter);

  // Resets and SND_NKEs use the selection only at FDh, and end it.
  const std::vector<Exchange> enders = {
      {"reset FDh", ApplicationReset(0xFD), true, {InitRequest(kWriter)}},
      {"reset FEh", ApplicationReset(0xFE), true, {InitRequest(kAt254)}},
      {"reset 5", ApplicationReset(5), true, {kTwoRecordsInit}},
      {"SND_NKE FDh", SndNke(0xFD), true, {}},
      {"SND_NKE FEh", SndNke(0xFE), true, {InitRequest(kAt254)}},
      {"SND_NKE 7", SndNke(7), true, {InitRequest(kFirstAt7)}},
      {"SND_NKE 99", SndNke(99), false, {}},
  };
  for (const Exchange& row : enders) {
    ASSERT_TRUE(Select(writerPattern)) << row.what;
    Run(row);
    ExpectNothingSelected();
  }
}

}  // namespace
}  // namespace gwtest
