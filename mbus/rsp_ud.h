#pragma once
// RSP_UD with CI 72h (variable data structure, long header): the fixed
// header and the data records an emulated meter answers a REQ_UD2 with.
// Encoding is a pure function from the header and the records to bytes.
#include <cstdint>

#include "mbus/frame.h"
#include "mbus/record_header.h"

namespace kestrel {

constexpr int kRspUdHeaderLength = 19;  // 68 L L 68, C, A, CI, id, manufacturer, version, medium, AN, status, signature

// RSP_UD fixed header, offsets from the first start byte.
constexpr int kRspUdIdNumberAt = 7;
constexpr int kRspUdIdNumberLength = 4;  // eight BCD digits, least significant byte first
constexpr int kRspUdManufacturerAt = 11;
constexpr int kRspUdVersionAt = 13;
constexpr int kRspUdMediumAt = 14;
constexpr int kRspUdAccessNumberAt = 15;
constexpr int kRspUdStatusAt = 16;
constexpr int kRspUdSignatureAt = 17;
// Status byte bit 4 (10h): "temporary error"; a meter answered from memory
// sets it when its values are older than its MaxAge.
constexpr uint8_t kStatusTemporaryError = 0x10;
// Status byte bits 1-0 = 10b: "any application error"; set on top of Status
// when a record is sent without its value ("no data") or with a held one.
constexpr uint8_t kStatusApplicationError = 0x02;
constexpr int kMaxRecordBytes = 240;    // L = 15 + records is one byte
constexpr int kMaxValueBytes = 8;       // four registers
constexpr int kMinRecordLength = 3;     // DIF and one register's value
constexpr int kMaxRecordsPerTelegram = kMaxRecordBytes / kMinRecordLength;

// The header fields that vary from meter to meter; the manufacturer (ZQX),
// the version (10h) and the signature (0000h) are the same for all.
struct RspUdHeader {
  uint8_t address = 0;       // A field
  uint32_t idNumber = 0;     // eight BCD digits, sent least significant byte first
  uint8_t medium = 0;
  uint8_t accessNumber = 0;
  uint8_t status = 0;
};

// One data record: DIF and DIFEs, VIF and VIFEs, and the value bytes.
struct DataRecord {
  uint8_t dif[kMaxRecordHeaderLength] = {};
  int difLength = 0;
  const uint8_t* vib = nullptr;  // not owned
  int vibLength = 0;
  int vibByteAt = -1;     // a VIB byte sent in place of vib's own (a scaled exponent); -1 none
  uint8_t vibByte = 0;
  uint8_t value[kMaxValueBytes] = {};
  int valueLength = 0;
};

int DataRecordLength(const DataRecord& record);

// The record as sent without a value: its DIF keeps function and storage
// bit, its data field becomes "no data"; DIFEs and VIB stay, no value bytes.
void MakeNoData(DataRecord& record);

// The DIF 1Fh alone, as the last record of every telegram but a meter's last.
DataRecord MoreRecordsFollow();

// Telegram length for records of recordBytes: header, records, checksum, stop.
int RspUdLength(int recordBytes);

// The 19 header bytes for records totalling recordBytes (L is 15 + recordBytes,
// one byte).
void EncodeRspUdHeader(const RspUdHeader& header, int recordBytes, uint8_t out[kRspUdHeaderLength]);

// The whole telegram into out; returns its length, or -1 (out unusable) when
// a record is malformed or the records total more than kMaxRecordBytes.
int EncodeRspUd(const RspUdHeader& header, const DataRecord* records, int count,
                uint8_t out[kFrameBufferSize]);

// The records' bytes one after another, as a telegram carries them; returns
// how many, or -1 (out unusable) as EncodeRspUd does.
int EncodeRecords(const DataRecord* records, int count, uint8_t out[kMaxRecordBytes]);

// The whole telegram around records already encoded (recordBytes of them,
// at most kMaxRecordBytes, or -1 is returned); returns its length.
int EncodeRspUdAround(const RspUdHeader& header, const uint8_t* records, int recordBytes,
                      uint8_t out[kFrameBufferSize]);

}  // namespace kestrel
