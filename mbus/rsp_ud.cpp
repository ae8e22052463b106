#include "mbus/rsp_ud.h"

#include <cstring>

#include "mbus/identity.h"

namespace kestrel {
namespace {

constexpr int kLengthFieldBase = kRspUdHeaderLength - kLongC;  // C to signature: 15
constexpr int kTrailerLength = 2;                              // checksum, stop

static_assert(kRspUdHeaderLength + kMaxRecordBytes + kTrailerLength <= kFrameBufferSize,
              "a telegram fits its buffer");

bool IsWellFormed(const DataRecord& record) {
  return record.difLength >= 1 && record.difLength <= kMaxRecordHeaderLength && record.vibLength >= 0 &&
         (record.vibLength == 0 || record.vib != nullptr) && record.vibByteAt < record.vibLength &&
         record.valueLength >= 0 &&
         record.valueLength <= kMaxValueBytes;
}

uint8_t* Append(uint8_t* out, const uint8_t* bytes, int count) {
  if (count > 0) std::memcpy(out, bytes, static_cast<size_t>(count));
  return out + count;
}

// The header before the records (recordBytes of them, at offset 19 already),
// the checksum over C .. last record byte and the stop byte after them.
int CloseRspUd(const RspUdHeader& header, int recordBytes, uint8_t out[kFrameBufferSize]) {
  EncodeRspUdHeader(header, recordBytes, out);
  const int end = kRspUdHeaderLength + recordBytes;
  out[end] = MBusChecksum(out + kLongC, end - kLongC);
  out[end + 1] = kStopByte;
  return end + kTrailerLength;
}

}  // namespace

int DataRecordLength(const DataRecord& record) {
  return record.difLength + record.vibLength + record.valueLength;
}

void MakeNoData(DataRecord& record) {
  record.dif[0] = static_cast<uint8_t>((record.dif[0] & ~kDataFieldMask) | kNoDataField);
  record.valueLength = 0;
}

DataRecord MoreRecordsFollow() {
  DataRecord record;
  record.dif[0] = kDifMoreRecordsFollow;
  record.difLength = 1;
  return record;
}

int RspUdLength(int recordBytes) { return kRspUdHeaderLength + recordBytes + kTrailerLength; }

void EncodeRspUdHeader(const RspUdHeader& header, int recordBytes, uint8_t out[kRspUdHeaderLength]) {
  out[0] = kLongFrameStart;
  out[kLongL] = static_cast<uint8_t>(kLengthFieldBase + recordBytes);
  out[kLongLRepeated] = out[kLongL];
  out[kLongSecondStart] = kLongFrameStart;
  out[kLongC] = kCRspUd;
  out[kLongA] = header.address;
  out[kLongCi] = kCiRspUdLongHeader;
  for (int i = 0; i < kRspUdIdNumberLength; ++i) out[kRspUdIdNumberAt + i] = static_cast<uint8_t>(header.idNumber >> (8 * i));
  out[kRspUdManufacturerAt] = kManufacturerZqx[0];
  out[kRspUdManufacturerAt + 1] = kManufacturerZqx[1];
  out[kRspUdVersionAt] = kVersionByte;
  out[kRspUdMediumAt] = header.medium;
  out[kRspUdAccessNumberAt] = header.accessNumber;
  out[kRspUdStatusAt] = header.status;
  out[kRspUdSignatureAt] = 0;
  out[kRspUdSignatureAt + 1] = 0;
}

int EncodeRecords(const DataRecord* records, int count, uint8_t out[kMaxRecordBytes]) {
  if (count < 0 || (count > 0 && records == nullptr)) return -1;
  int recordBytes = 0;
  for (int i = 0; i < count; ++i) {
    if (!IsWellFormed(records[i])) return -1;
    recordBytes += DataRecordLength(records[i]);
    if (recordBytes > kMaxRecordBytes) return -1;
  }
  uint8_t* at = out;
  for (int i = 0; i < count; ++i) {
    at = Append(at, records[i].dif, records[i].difLength);
    at = Append(at, records[i].vib, records[i].vibLength);
    if (records[i].vibByteAt >= 0) at[records[i].vibByteAt - records[i].vibLength] = records[i].vibByte;
    at = Append(at, records[i].value, records[i].valueLength);
  }
  return recordBytes;
}

int EncodeRspUd(const RspUdHeader& header, const DataRecord* records, int count,
                uint8_t out[kFrameBufferSize]) {
  const int recordBytes = EncodeRecords(records, count, out + kRspUdHeaderLength);
  if (recordBytes < 0) return -1;
  return CloseRspUd(header, recordBytes, out);
}

int EncodeRspUdAround(const RspUdHeader& header, const uint8_t* records, int recordBytes,
                      uint8_t out[kFrameBufferSize]) {
  if (recordBytes < 0 || recordBytes > kMaxRecordBytes || (recordBytes > 0 && records == nullptr)) return -1;
  Append(out + kRspUdHeaderLength, records, recordBytes);
  return CloseRspUd(header, recordBytes, out);
}

}  // namespace kestrel
