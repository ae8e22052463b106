#pragma once
// The service manager's notifications (systemd's Type=notify), when
// NOTIFY_SOCKET is set: READY=1 once the ports are open and the DeviceFile
// is loaded; a one-line STATUS= kept current, at most once a second; and,
// when WATCHDOG_USEC is set, WATCHDOG=1 at half that interval, sent by the
// main loop's round, so that a loop held longer than the watchdog's time
// gets the gateway restarted. The gateway speaks the protocol itself (one
// datagram of KEY=VALUE lines to the socket NOTIFY_SOCKET names), without
// ever waiting for the socket: a notification it cannot take at once is
// dropped and counted.
#include <string>

#include "gateway/gateway.h"

namespace kestrel {

// Reads the environment.
void StartServiceNotify(ServiceNotify& notify);

void NotifyReady(Gateway& gateway);
// RELOADING=1 as a reload begins (READY=1 ends it, taken or refused).
void NotifyReloading(Gateway& gateway);
// STOPPING=1, at a clean stop.
void NotifyStopping(Gateway& gateway);

// The keep-alive and the status, each when due.
void NotifyIfDue(Gateway& gateway);
void WatchServiceNotify(const Gateway& gateway, WaitSet& wait);

// "3 meters; last 15 min: 180 requests, 176 answered; failing: meter 3
// (45990012), slave 3 silent".
std::string StatusText(const Gateway& gateway);

}  // namespace kestrel
