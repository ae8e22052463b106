#pragma once
// What an emulated meter asks of its Modbus slave, and how its records go
// into an RSP_UD: the model's numbers put into requests and data records.
// Pure; the gateway's handlers and kestrel-check's preview share them.
#include <cstdint>

#include "mbus/rsp_ud.h"
#include "modbus/requests.h"
#include "model/meter_model.h"

namespace kestrel {

// The read request behind a record's value (REQ_UD2). Returns 8. An unknown
// ModbusDT asks for 0 registers.
int ReadRequestFor(const Meter& meter, const Record& record, uint8_t out[kReadRequestLength]);

// One read request of REQ_UD2: the registers of one record or, when the
// meter has BlockReads, of consecutive records read together.
struct ReadBlock {
  const Record* records[kMaxReadRegisters] = {};  // each but a lone first one takes a register at least
  int count = 0;
  int registers = 0;
  uint16_t firstRegister = 0;  // where the read starts: the first record's, or a scale register's just before
};

// Whether record can join block (which holds a record at least) as its
// next record: the meter has BlockReads; the record uses the block's
// ModbusFunction and starts at the register after the block's last; and the
// block stays within kMaxReadRegisters and below wire address 65536. A
// record of unknown ModbusDT is always read on its own.
bool JoinsBlock(const Meter& meter, const ReadBlock& block, const Record& record);

// Adds record as the block's next (false when the block is full).
bool AddToBlock(ReadBlock& block, const Record& record);

// Where the value of the block's record at index starts in the registers read.
int RegisterOffset(const ReadBlock& block, int index);

// The block of the record alone, with its ScaleRegister when it stands
// right before or after it: how a meter without BlockReads reads it.
ReadBlock LoneBlock(const Meter& meter, const Record& record);

// Where the record's ScaleRegister stands in the block's registers, or -1
// when the block does not read it.
int ScaleOffset(const ReadBlock& block, const Record& record);

// The block's records whose ScaleRegister the block does not read, one per
// distinct register, in block order: each is read in a request of its own
// before the block. Returns how many (at most block.count).
int ScalesApart(const ReadBlock& block, const Record* apart[kMaxReadRegisters]);

// The read request of a record's ScaleRegister alone (one register, the
// record's function). Returns 8.
int ScaleRequestFor(const Meter& meter, const Record& record, uint8_t out[kReadRequestLength]);

// Which of a meter's records a read takes: those of one TelegramNr, or all.
struct RecordSelection {
  uint8_t telegramNr = kEveryTelegram;
};

// The next block of the selected records, from position (an index into the
// meter's list of records) on; position moves past the block. false when no
// record is left. A ScaleRegister of its records right before or after the
// block is read with it, as long as the block stays within kMaxReadRegisters.
bool NextReadBlock(const MeterModel& model, const Meter& meter, RecordSelection which, size_t& position,
                   ReadBlock& block);

// Hands the blocks of the selected records (document order) to read one
// after another; stops at the first block read refuses (returns false) and
// then returns false.
template <typename Read>
bool ForEachReadBlock(const MeterModel& model, const Meter& meter, RecordSelection which, Read read) {
  ReadBlock block;
  size_t position = 0;
  while (NextReadBlock(model, meter, which, position, block)) {
    if (!read(static_cast<const ReadBlock&>(block))) return false;
  }
  return true;
}

// The read request of a block: its first record's function and register,
// all its registers. Returns 8. For a block of one record it is that
// record's own request.
int ReadRequestFor(const Meter& meter, const ReadBlock& block, uint8_t out[kReadRequestLength]);

// The meter's initialising request (SND_NKE, application reset, selection). Returns 8.
int InitRequestFor(const Meter& meter, uint8_t out[kInitRequestLength]);

// The write request of SND_UD: value holds the 2 x n value bytes, least
// significant first. Returns the length, or -1 when the record's ModbusDT is
// unknown or the meter's SND_UD selector is above 3.
int WriteRequestFor(const Meter& meter, const Record& record, const uint8_t* value,
                    uint8_t out[kMaxWriteRequestLength]);

// The record as an RSP_UD carries it, but for its value bytes: DIF and
// DIFEs (difLength -1 when Function is above 3), the Vib bytes, and
// valueLength 2 x n (0 for an unknown ModbusDT).
DataRecord DataRecordOf(const Record& record);

// The fixed header fields of the meter's RSP_UD, access number as given.
RspUdHeader RspUdHeaderOf(const Meter& meter);

// How many telegrams the meter answers in: with multiTelegram one per
// TelegramNr its records name, otherwise one.
int TelegramCount(const Meter& meter, bool multiTelegram);

// Which records go into telegram (from 0) of the meter's count: those whose
// TelegramNr comes at that place among the numbers they name (in ascending
// order), or all of them when it answers in one.
RecordSelection RecordsOfTelegram(const Meter& meter, int telegram, int count);
RecordsOf RecordsOfTelegram(const MeterModel& model, const Meter& meter, int telegram, int count);

// Of a telegram's records: how many went without their value ("no value")
// or with a held one, and the status bits that adds to its answer's Status.
struct ValueCounts {
  int noValues = 0;
  int held = 0;
  uint8_t statusBits = 0;
};

// The records gathered so far for one telegram.
struct Records {
  DataRecord items[kMaxRecordsPerTelegram];
  int count = 0;
  int bytes = 0;
  ValueCounts values;
};

// Why a block's records did not all go into the telegram.
enum class BlockFault {
  kNone,
  kNoAnswer,        // the transaction brought no answer: an exception, or nothing valid
  kShortAnswer,     // the answer holds fewer register bytes than the block asked for
  kUnknownType,     // a record's ModbusDT is unknown
  kFunctionAbove3,  // a record's Function has no DIF
  kTooManyBytes,    // the records would exceed the 240 bytes of a telegram
};

}  // namespace kestrel
