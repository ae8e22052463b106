#pragma once
// A Modbus link: one port towards Modbus devices, [ModbusPort] or one of the
// sections [ModbusPort.NAME], with its line and the one transaction that may
// be under way on it. Every link has its own: a slow or silent slave on one
// never delays a request on another, and no link ever carries two requests
// at once (see link_engine.h for who gets the line when).
#include <cstdint>
#include <memory>
#include <string>

#include "modbus/transaction.h"
#include "ports/TPort.h"

namespace kestrel {

// Who began the transaction under way on a link.
enum class LineUser : uint8_t {
  kNone,        // the line is free
  kRequest,     // the M-Bus request being served
  kBackground,  // the background reads of the meters with MaxAge
};

struct Link {
  std::string name;              // NAME of [ModbusPort.NAME]; empty for [ModbusPort]
  std::unique_ptr<TPort> owned;  // the port its section built, or one that never opens
  TPort* port = nullptr;         // the link's port: its own, or one lent (UsePort)
  bool working = false;          // the section built a port
  std::string settings;          // what its port was built from (ConfigStore::PortSettingsOf)
  ModbusLine line;               // the port, its time limit and its state
  ModbusTransaction transaction;
  LineUser user = LineUser::kNone;
  // The answer of the transaction under way, taken in by its user as soon
  // as it has ended, before the line carries the next request.
  uint8_t response[kMaxMbapFrame + kModbusReadChunk] = {};
};

// The link goes over port, which must outlive it (test harnesses and
// benchmarks lend it a port double), with this time limit per attempt.
void UsePort(Link& link, TPort& port, int timeoutMs);

// The link's section, as metrics label it: "ModbusPort", "ModbusPort.roof".
std::string SectionName(const Link& link);

// Whether a request can reach the link's devices now: its port is open and,
// on a TCP client, connected.
bool LinkUp(const Link& link);

}  // namespace kestrel
