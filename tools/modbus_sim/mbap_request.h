#pragma once
// Finding where a Modbus TCP request ends in the bytes read from a
// connection: its MBAP header says how many bytes follow it.
#include <cstdint>

constexpr int kMbapHeaderLength = 7;  // transaction, protocol, length, unit
constexpr int kMbapUnitIndex = 6;
constexpr int kMaxMbapFrame = 260;

// Total length of the request at the start of bytes: 0 while the header is
// incomplete, -1 for a header no request has (protocol not 0, or a length
// beyond one frame).
int ExpectedMbapLength(const uint8_t* bytes, int length);
