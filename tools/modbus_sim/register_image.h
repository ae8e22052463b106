#pragma once
// How a simulated device lays a value out in its registers.
//
// Order 0: register 1 most significant, each register high byte first (the
// whole value big-endian). Order 1: the whole value little-endian (the first
// byte on the wire is the least significant). Order 2: register 1 least
// significant, each register high byte first. Order 3: register 1 most
// significant, each register low byte first. 11223344h is sent as
// 11 22 33 44, 44 33 22 11, 33 44 11 22 and 22 11 44 33.
//
// MOD types hold decimal groups of four digits, one per register, least
// significant group in the least significant register; a negative value has
// every group negative (-10005 is the groups -1 and -5).
#include <cstdint>

#include "register_file.h"

// The value after the given whole seconds of run time, as
// value->type->registers register words (word k is the k-th register on the wire).
void EncodeRegisters(const SimValue& value, int64_t seconds, uint16_t* registers);
