#pragma once
// REQ_UD2: read every Object of the addressed meter from its Modbus slave and
// answer with one RSP_UD telegram (CI 72h, long header), or not at all.
#include "core/gateway.h"

// Records of one telegram may total at most this (L = 15 + records <= 255).
constexpr int kMaxRecordBytes = 240;

bool HandleReqUd2(Gateway& gateway, const FrameBuffer& frame, Answer& answer);
