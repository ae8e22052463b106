// modbus_sim: a Modbus RTU slave on a serial line, or a Modbus TCP server
// on a loopback port, for trying the gateway against libmodbus. It answers
// for every slave address (unit identifier) its register file names and
// stays silent for all others, as an absent device would.
//
//   modbus_sim [-b baud] [-p N|E|O] [-s 1|2] [-d] DEVICE REGISTER_FILE
//   modbus_sim -t PORT [-d] REGISTER_FILE
//
// Over TCP it serves one connection at a time; a newer one replaces it.
// libmodbus opens and sets up the line and builds every answer
// (modbus_reply), so the answers are those of a widely used slave stack.
// The requests are collected here, because libmodbus' own receive serves a
// single slave address per context.
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mbap_request.h"
#include "register_file.h"
#include "rtu_request.h"
#include "slave_maps.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void RequestStop(int) { stopRequested = 1; }

struct Options {
  int baud = 9600;
  char parity = 'N';
  int stopBits = 1;
  bool debug = false;
  int tcpPort = 0;  // 0: RTU on device
  std::string device;
  std::string registerFile;
};

constexpr int kDataBits = 8;
constexpr int kSilenceMs = 20;  // a pause this long ends a request of unknown length
constexpr const char* kLoopback = "127.0.0.1";  // a test peer listens on this machine only

void Usage() {
  std::fprintf(stderr,
               "usage: modbus_sim [-b baud] [-p N|E|O] [-s 1|2] [-d] DEVICE REGISTER_FILE\n"
               "       modbus_sim -t PORT [-d] REGISTER_FILE\n");
}

bool ParseOptions(int argc, char** argv, Options& options) {
  int option;
  while ((option = getopt(argc, argv, "b:p:s:dt:")) != -1) {
    switch (option) {
      case 't': options.tcpPort = std::atoi(optarg); break;
      case 'b': options.baud = std::atoi(optarg); break;
      case 'p': options.parity = optarg[0]; break;
      case 's': options.stopBits = std::atoi(optarg); break;
      case 'd': options.debug = true; break;
      default: return false;
    }
  }
  const bool tcp = options.tcpPort != 0;
  if (argc - optind != (tcp ? 1 : 2)) return false;
  if (!tcp) options.device = argv[optind++];
  options.registerFile = argv[optind];
  if (tcp && (options.tcpPort < 1 || options.tcpPort > 65535)) return false;
  const bool parityKnown = std::strchr("NEO", options.parity) != nullptr && options.parity != '\0';
  return options.baud > 0 && parityKnown && (options.stopBits == 1 || options.stopBits == 2);
}

void InstallStopHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = RequestStop;  // no SA_RESTART: select() returns at once
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void DumpFrame(const char* what, const uint8_t* bytes, int length) {
  std::fprintf(stderr, "modbus_sim: %s", what);
  for (int i = 0; i < length; ++i) std::fprintf(stderr, " %02X", bytes[i]);
  std::fprintf(stderr, "\n");
}

struct Server {
  modbus_t* ctx;
  std::vector<SlaveMap> maps;
  bool debug;
};

// libmodbus answers the request of a slave (unit) the register file names.
void Reply(const Server& server, int slave, const uint8_t* request, int length) {
  modbus_mapping_t* map = FindSlaveMap(server.maps, slave);
  if (map == nullptr) {
    if (server.debug) DumpFrame("not our slave, ignored:", request, length);
    return;
  }
  modbus_set_slave(server.ctx, slave);
  if (modbus_reply(server.ctx, request, length, map) < 0) {
    std::fprintf(stderr, "modbus_sim: reply failed: %s\n", modbus_strerror(errno));
  }
}

void Serve(const Server& server, const uint8_t* request, int length) {
  if (!RequestCrcValid(request, length)) {
    if (server.debug) DumpFrame("bad CRC, ignored:", request, length);
    return;
  }
  Reply(server, request[0], request, length);
}

// Serves every complete request at the start of the buffer; keeps the rest.
void ServeComplete(const Server& server, uint8_t* buffer, int& held) {
  for (;;) {
    const int expected = ExpectedRequestLength(buffer, held);
    if (expected <= 0 || held < expected) return;
    if (expected <= kMaxRtuFrame) Serve(server, buffer, expected);
    held -= std::min(expected, held);
    std::memmove(buffer, buffer + expected, static_cast<size_t>(held));
  }
}

// The line fell silent: a request of unknown length ends here, anything
// else left over is a broken frame.
void EndAtSilence(const Server& server, uint8_t* buffer, int& held) {
  if (held > 0 && ExpectedRequestLength(buffer, held) < 0) Serve(server, buffer, held);
  else if (held > 0 && server.debug) DumpFrame("incomplete, dropped:", buffer, held);
  held = 0;
}

// Serves every complete MBAP request at the start of the buffer; false when
// the connection is out of step (a header no request has).
bool ServeCompleteMbap(const Server& server, uint8_t* buffer, int& held) {
  for (;;) {
    const int expected = ExpectedMbapLength(buffer, held);
    if (expected < 0) return false;
    if (expected == 0 || held < expected) return true;
    Reply(server, buffer[kMbapUnitIndex], buffer, expected);
    held -= expected;
    std::memmove(buffer, buffer + expected, static_cast<size_t>(held));
  }
}

// Which of the (up to two) descriptors have bytes, within kSilenceMs.
bool WaitForBytes(int fd, int other = -1, bool* otherReady = nullptr) {
  fd_set readable;
  FD_ZERO(&readable);
  if (fd >= 0) FD_SET(fd, &readable);
  if (other >= 0) FD_SET(other, &readable);
  timeval timeout = {0, kSilenceMs * 1000};
  const bool any = select(std::max(fd, other) + 1, &readable, nullptr, nullptr, &timeout) > 0;
  if (otherReady != nullptr) *otherReady = any && other >= 0 && FD_ISSET(other, &readable);
  return any && fd >= 0 && FD_ISSET(fd, &readable);
}

int64_t SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
}

// Values with an increment move on once a second of run time.
struct ValueClock {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  int64_t storedSecond = 0;
};

void MoveValues(const Server& server, const std::vector<SimValue>& values, ValueClock& clock) {
  const int64_t second = SecondsSince(clock.start);
  if (second != clock.storedSecond) StoreValues(values, server.maps, second, true);
  clock.storedSecond = second;
}

void RunTcpServer(const Server& server, const std::vector<SimValue>& values, int listener) {
  ValueClock clock;
  uint8_t buffer[kMaxMbapFrame];
  int held = 0;
  int client = -1;
  while (!stopRequested) {
    MoveValues(server, values, clock);
    bool incoming = false;
    const bool bytes = WaitForBytes(client, listener, &incoming);
    if (incoming) {
      if (client >= 0) close(client);
      client = accept(listener, nullptr, nullptr);
      modbus_set_socket(server.ctx, client);
      held = 0;
      continue;
    }
    if (!bytes) continue;
    const ssize_t n = read(client, buffer + held, sizeof buffer - static_cast<size_t>(held));
    if (n > 0) held += static_cast<int>(n);
    if (n <= 0 || !ServeCompleteMbap(server, buffer, held)) {  // closed by the master, or out of step
      close(client);
      client = -1;
      held = 0;
    }
  }
  if (client >= 0) close(client);
}

void RunServer(const Server& server, const std::vector<SimValue>& values) {
  const int fd = modbus_get_socket(server.ctx);
  ValueClock clock;
  uint8_t buffer[kMaxRtuFrame];
  int held = 0;
  while (!stopRequested) {
    MoveValues(server, values, clock);
    if (!WaitForBytes(fd)) {
      EndAtSilence(server, buffer, held);
      continue;
    }
    const ssize_t n = read(fd, buffer + held, sizeof buffer - static_cast<size_t>(held));
    if (n <= 0) continue;
    held += static_cast<int>(n);
    ServeComplete(server, buffer, held);
    if (held == static_cast<int>(sizeof buffer)) held = 0;  // junk without a frame in it
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Usage();
    return 2;
  }
  std::vector<SimValue> values;
  std::string error;
  if (!ParseRegisterFile(options.registerFile, values, error)) {
    std::fprintf(stderr, "modbus_sim: %s\n", error.c_str());
    return 2;
  }
  Server server{nullptr, BuildSlaveMaps(values), options.debug};
  if (server.maps.empty()) {
    std::fprintf(stderr, "modbus_sim: %s\n", values.empty() ? "the register file names no value" : "out of memory");
    return 2;
  }
  StoreValues(values, server.maps, 0, false);
  const bool tcp = options.tcpPort != 0;
  const std::string where = tcp ? std::string(kLoopback) + ":" + std::to_string(options.tcpPort) : options.device;
  server.ctx = tcp ? modbus_new_tcp(kLoopback, options.tcpPort)
                   : modbus_new_rtu(options.device.c_str(), options.baud, options.parity, kDataBits, options.stopBits);
  // The listening socket over TCP; 0 once the serial line is open.
  const int listener = server.ctx == nullptr ? -1 : tcp ? modbus_tcp_listen(server.ctx, 1) : modbus_connect(server.ctx);
  if (listener < 0) {
    std::fprintf(stderr, "modbus_sim: cannot open %s: %s\n", where.c_str(), modbus_strerror(errno));
    FreeSlaveMaps(server.maps);
    if (server.ctx != nullptr) modbus_free(server.ctx);
    return 1;
  }
  modbus_set_debug(server.ctx, options.debug ? TRUE : FALSE);
  InstallStopHandlers();
  std::printf("modbus_sim: serving %zu slave(s) on %s\n", server.maps.size(), where.c_str());
  std::fflush(stdout);
  if (tcp) {
    RunTcpServer(server, values, listener);
    close(listener);
  } else {
    RunServer(server, values);
  }
  modbus_close(server.ctx);
  modbus_free(server.ctx);
  FreeSlaveMaps(server.maps);
  return 0;
}
