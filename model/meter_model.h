#pragma once
// The emulated meters as plain data, converted once when the DeviceFile is
// loaded: every Device a Meter, every Object a Record, in document order.
// Nothing of the XML document is kept.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mbus/secondary_address.h"
#include "mbus/telegram_sequence.h"
#include "modbus/no_value.h"
#include "modbus/value_conversion.h"

namespace kestrel {

// The first 16 characters of an attribute as written, for trace lines that
// quote it ("%.16s").
struct TraceText {
  char text[17] = {};
};

// A missing or 0 TelegramNr names the first telegram.
constexpr uint8_t kFirstTelegramNr = 1;
// The longest MaxAge, in seconds: a day.
constexpr uint32_t kLongestMaxAgeS = 86400;
// The longest ModbusTimeout, in ms: a minute.
constexpr uint32_t kLongestModbusTimeoutMs = 60000;

// No record has it (the loader reads a TelegramNr of 0 as the first
// telegram): where a telegram number selects records, every record.
constexpr uint8_t kEveryTelegram = 0;

// Writable of an Object: absent, exactly "1", or any other text.
enum class Writability : uint8_t { kUnset, kWritable, kNotWritable };

// WriteMin or WriteMax of an Object, read for its ModbusDT.
struct WriteLimit {
  enum class State : uint8_t { kNone, kNumber, kUnreadable };
  State state = State::kNone;
  ValueNumber number;  // with kNumber
};

struct WriteRange {
  WriteLimit min;
  WriteLimit max;
};

// A record without WriteMin and WriteMax.
constexpr uint32_t kNoWriteRange = UINT32_MAX;

// One Object: a data record of its meter's RSP_UD and the registers behind it.
struct Record {
  uint64_t definition = 0;     // digest of the Object's attributes as written
  uint8_t objectId = 0;        // ObjectId: an SND_UD names the record to write by it
  uint8_t telegramNr = kFirstTelegramNr;  // TelegramNr: its telegram when the meter answers in several
  uint8_t modbusFunction = 0;  // ModbusFunction: function code of the read request
  uint16_t registerRead = 0;   // RegisterRead, before Base is subtracted
  uint16_t registerWrite = 0;  // RegisterWrite, before Base is subtracted
  ModbusType modbusType = ModbusType::kUnknown;  // ModbusDT
  uint8_t function = 0;        // Function: the DIF's function field
  uint8_t dataField = 0;       // MBusDT: the DIF's data field code
  TraceText modbusTypeName;    // ModbusDT as written
  uint64_t storage = 0;        // Storage number
  uint32_t tariff = 0;         // Tariff
  uint32_t subunit = 0;        // SubUnit
  std::vector<uint8_t> vib;    // Vib: VIF and VIFEs, the pairs that convert
  Writability writable = Writability::kUnset;  // Writable
  uint32_t writeRange = kNoWriteRange;  // index into MeterModel::writeRanges
  NoValue noValue;             // NoValue, or its meter's NoValue="sunspec"
  bool monotonic = false;      // Monotonic 1: never passed on lower than the highest read
  bool scaled = false;         // it has a ScaleRegister
  uint16_t scaleRegister = 0;  // ScaleRegister, before Base is subtracted
};

// One Device: an emulated meter.
struct Meter {
  uint64_t definition = 0;     // digest of the Device's attributes as written
  uint8_t primaryAddress = 0;  // PrimaryAddress
  uint8_t medium = 0;          // Medium
  uint8_t status = 0;          // Status
  uint8_t accessNumber = 0;    // counts modulo 256 from a random start
  uint8_t slaveAddress = 0;    // SlaveAddress of every Modbus request for this meter
  uint8_t initFunction = 0;    // InitFunction of the initialising request
  uint16_t initRegister = 0;   // InitRegister, before Base is subtracted
  uint32_t idNumber = 0;       // IdNumber read as one hexadecimal number: its BCD digits
  uint32_t base = 0;           // Base: subtracted from every register number
  char parity = '\0';          // first character of ComSettings; '\0' for none
  TraceText idNumberText;      // IdNumber as written
  uint8_t secondaryAddress[kSecondaryAddressLength] = {};  // from the texts of IdNumber and Medium
  OrderSelectors reqUd2Orders;  // FloatMode and IntReverse read in base 16
  OrderSelectors sndUdOrders;   // FloatMode and IntReverse read in base 10
  bool blockReads = false;      // BlockReads 1: consecutive records are read in one request
  uint32_t maxAgeS = 0;         // MaxAge: answered from memory, values at most this old; 0 reads afresh
  uint32_t modbusTimeoutMs = 0;  // ModbusTimeout: each attempt's time limit; 0: the line's
  std::string modbusPort;       // ModbusPort as written: the name of its link; empty for [ModbusPort]
  bool sunSpecNoValue = false;  // NoValue "sunspec": its records' "no value" by their ModbusDT
  std::vector<uint32_t> records;  // indices into MeterModel::records, document order
  std::vector<uint8_t> telegramNrs;  // the TelegramNr of its records, each once, ascending
  TelegramSequence readout;     // how far the master has read its telegrams; the gateway's
};

struct MeterModel {
  bool parsed = false;           // false: the file does not parse, and there are no meters
  std::vector<Meter> meters;     // every Device, document order
  std::vector<Record> records;   // every Object, document order, its meter's or not
  std::vector<WriteRange> writeRanges;  // of the records with WriteMin or WriteMax, few if any
  std::array<int32_t, 256> firstAtAddress;  // index of the first meter at each primary address, -1

  MeterModel() { firstAtAddress.fill(-1); }
};

// The record's WriteMin and WriteMax, or nullptr when it has neither.
const WriteRange* WriteRangeOf(const MeterModel& model, const Record& record);

// The digest of the meter's whole definition: its Device and its Objects in
// order. Another digest: another meter, whatever was kept of it.
uint64_t DefinitionOf(const MeterModel& model, const Meter& meter);

// The first meter in document order at the primary address, or nullptr.
Meter* MeterAtAddress(MeterModel& model, uint8_t address);
const Meter* MeterAtAddress(const MeterModel& model, uint8_t address);

// The records of one meter in document order, for range-for: all of them,
// or only those whose TelegramNr is telegramNr.
class RecordsOf {
 public:
  class Iterator {
   public:
    Iterator(const std::vector<Record>& records, const uint32_t* at, const uint32_t* end, uint8_t telegramNr)
        : records_(records), at_(at), end_(end), telegramNr_(telegramNr) {
      SkipOtherTelegrams();
    }
    const Record& operator*() const { return records_[*at_]; }
    Iterator& operator++() {
      ++at_;
      SkipOtherTelegrams();
      return *this;
    }
    bool operator!=(const Iterator& other) const { return at_ != other.at_; }

   private:
    void SkipOtherTelegrams() {
      while (telegramNr_ != kEveryTelegram && at_ != end_ && records_[*at_].telegramNr != telegramNr_) ++at_;
    }

    const std::vector<Record>& records_;
    const uint32_t* at_;
    const uint32_t* end_;
    uint8_t telegramNr_;
  };

  // The loader links only indices of records it holds.
  RecordsOf(const MeterModel& model, const Meter& meter) : RecordsOf(model, meter, kEveryTelegram) {}
  RecordsOf(const MeterModel& model, const Meter& meter, uint8_t telegramNr)
      : model_(model), meter_(meter), telegramNr_(telegramNr) {}
  Iterator begin() const { return Iterator(model_.records, First(), Last(), telegramNr_); }
  Iterator end() const { return Iterator(model_.records, Last(), Last(), telegramNr_); }

 private:
  const uint32_t* First() const { return meter_.records.data(); }
  const uint32_t* Last() const { return meter_.records.data() + meter_.records.size(); }

  const MeterModel& model_;
  const Meter& meter_;
  uint8_t telegramNr_;
};

}  // namespace kestrel
