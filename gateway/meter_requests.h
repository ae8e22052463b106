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
RecordsOf RecordsOfTelegram(const MeterModel& model, const Meter& meter, int telegram, int count);

}  // namespace kestrel
