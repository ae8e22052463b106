#pragma once
// Finding where a Modbus RTU request ends in the bytes read from the line.
// The function code fixes the length of every request the simulator serves;
// requests with other codes are taken to end at the first pause on the line.
#include <cstdint>

constexpr int kMaxRtuFrame = 256;

// Total length, CRC included, of the request at the start of bytes:
// 0 while too few bytes are there to tell, -1 when the function code has no
// length rule (the request then ends where the line falls silent).
int ExpectedRequestLength(const uint8_t* bytes, int length);

// True when the last two bytes are the CRC-16 of the ones before them
// (low byte first on the wire).
bool RequestCrcValid(const uint8_t* bytes, int length);
