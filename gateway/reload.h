#pragma once
// SIGHUP: the gateway takes its configuration again, the three INI files and
// the DeviceFile, between two requests. First it checks them as kestrel-check
// does: with an error, it goes on with the configuration in use, unchanged,
// and says so (a StartupLog line, an error event, the status line, a
// counter). Otherwise a port whose settings are unchanged stays open (the
// master's TCP connection, a serial line, each Modbus TCP connection), and a
// meter whose Device and Objects are unchanged goes on as it was: its
// snapshot and its place in the refresh schedule, its counters, held values,
// access number and telegram state. A new or changed meter starts as at
// start-up; a removed one is gone.

namespace kestrel {

struct Gateway;

// Returns true when the M-Bus port was built anew: bytes the loop holds
// came over the old one.
bool ReloadConfiguration(Gateway& gateway);

}  // namespace kestrel
