// The gateway measured from outside: the real binary in a sandbox folder, its
// M-Bus side a TCP server on 127.0.0.1, its Modbus side a pty whose other end
// is served by a responder thread that answers every read at once. Prints
// one table (REQ_UD2 latency, line model, idle cost, footprint, scale) and
// writes it, with the machine and build, as Markdown.
//
//   kestrel_gateway_bench [--out FILE] [--micro FILE] [--source DIR]
//   kestrel_gateway_bench --list          names the stages and ends
//   kestrel_gateway_bench --only several-links [--out FILE]
//                                         that stage alone; its section replaces
//                                         the one in FILE, the rest is kept
//   kestrel_gateway_bench --hold-model F  loads F into the meter model alone
//                                         and prints its VmHWM and the model's share in kB
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_files.h"
#include "bench/gateway_process.h"
#include "bench/modbus_tcp_double.h"
#include "bench/proc_stats.h"
#include "mbus/rsp_ud.h"
#include "modbus/crc.h"
#include "modbus/requests.h"
#include "model/device_file.h"
#include "support/timer_slack.h"
#include "tests/test_util.h"

using namespace kestrel;

#ifndef KESTREL_BUILD_TYPE
#define KESTREL_BUILD_TYPE "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequestsPerMeter = 200;
constexpr int kMeterSizes[] = {1, 8, 32};
constexpr int kLargeMeters = 250;
constexpr int kLargeObjects = 40;
constexpr int kIdleSeconds = 10;

// What a REQ_UD2 cannot be faster than: per Object the slave's own answer
// time (as a master waiting in poll sees it, measured on the same line
// before the gateway starts), and the 2 ms pause between one record's read
// and the next. The pause after the last record comes after the answer
// has gone: it is in no request's path. No loop pause, no poll interval.
constexpr double kPauseAfterRecordMs = 2.0;
double PausesMs(int reads) { return reads > 1 ? (reads - 1) * kPauseAfterRecordMs : 0.0; }
double FloorMs(int objects, double slaveMs) { return objects * slaveMs + PausesMs(objects); }
double OverheadTargetMs(int objects) { return 1.0 + 0.1 * objects; }

// Idle targets: a fraction of a core, and wake-ups (voluntary and
// involuntary context switches) per second.
constexpr double kIdleCpuTargetPercent = 0.1;
constexpr double kIdleWakeupTarget = 2.0;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t index = static_cast<size_t>(std::ceil(p * values.size())) - 1;
  return values[std::min(index, values.size() - 1)];
}

// ---- Modbus slave on the pty master -----------------------------------

// Answers each 8-byte read request with zero registers; anything that does not
// look like a read request loses its first byte. It can be made slow (each
// answer that many ms late) or silent.
class FastSlave {
 public:
  explicit FastSlave(int master) : master_(master), thread_([this] { Serve(); }) {}
  ~FastSlave() {
    stop_ = true;
    thread_.join();
  }
  void AnswerAfter(int ms) { delayMs_ = ms; }
  void FallSilent() { silent_ = true; }

 private:
  void Serve() {
    std::vector<uint8_t> held;
    uint8_t chunk[256];
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) continue;
      held.insert(held.end(), chunk, chunk + n);
      while (held.size() >= 8) {
        if (ModbusCrc(held.data(), 6) != (held[6] << 8 | held[7])) {
          held.erase(held.begin());
          continue;
        }
        Answer(held.data());
        held.erase(held.begin(), held.begin() + 8);
      }
    }
  }
  void Answer(const uint8_t* request) {
    if (silent_) return;
    if (delayMs_ > 0) usleep(static_cast<useconds_t>(delayMs_ * 1000));
    uint8_t answer[260] = {request[0], request[1], static_cast<uint8_t>(2 * request[5])};
    const int length = 3 + answer[2];
    AppendModbusCrc(answer, static_cast<uint32_t>(length));
    if (write(master_, answer, static_cast<size_t>(length + 2)) < 0) return;
  }

  int master_;
  std::atomic<bool> stop_{false};
  std::atomic<int> delayMs_{0};
  std::atomic<bool> silent_{false};
  std::thread thread_;
};

// The slave's answer time as a master sees it that waits in poll for the
// whole answer: a read request of one register written to the line's end
// that the gateway will use, the answer read back. Median of many, in ms.
double SlaveAnswerMs(int line) {
  constexpr int kProbes = 200;
  uint8_t request[8] = {0x01, 0x03, 0x00, 0x64, 0x00, 0x01};
  AppendModbusCrc(request, 6);
  constexpr size_t kAnswerLength = 7;  // address, function, byte count, one register, CRC
  std::vector<double> times;
  for (int i = 0; i < kProbes; ++i) {
    const auto sent = Clock::now();
    if (write(line, request, sizeof request) != static_cast<ssize_t>(sizeof request)) break;
    uint8_t answer[64];
    size_t held = 0;
    while (held < kAnswerLength) {
      pollfd p{line, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) throw std::runtime_error("the slave does not answer");
      const ssize_t n = read(line, answer + held, sizeof answer - held);
      if (n > 0) held += static_cast<size_t>(n);
    }
    times.push_back(Ms(Clock::now() - sent));
  }
  if (times.empty()) throw std::runtime_error("the slave's line cannot be written");
  return Percentile(times, 0.5);
}

// ---- The gateway in its sandbox ----------------------------------------

int FreeTcpPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

struct Sandbox {
  testutil::TempDir dir;
  int master = -1, slave = -1;
  int mbusPort = 0;
  std::string deviceFile;

  explicit Sandbox(const std::string& devices) {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    mbusPort = FreeTcpPort();
    deviceFile = dir / "config/meters.xml";
    testutil::WriteFile(deviceFile, devices);
    testutil::WriteFile(dir / "config/corvid_hw.ini",
                        std::string("[Main]\nRS485 = ") + name + "\nLO = lo\n");
    testutil::WriteFile(dir / "config/kestrel_default.ini", "[Main]\nenable_leds = no\n");
    testutil::WriteFile(dir / "config/kestrel.ini",
                        "[Main]\nFILENAME = meters.xml\nenable_leds = no\n"
                        "[ModbusPort]\nporttype = SER\nsercomport = RS485\nserbaudrate = 9600\n"
                        "serbits = 8\nserparity = N\nserstopbit = 1\ntimeout = 200\n"
                        "[MBusPort]\nporttype = TCP\nlocalip = LO\nlocalport = " +
                            std::to_string(mbusPort) + "\nserver = 1\ntimeout = 1000\n");
    testutil::WriteFile(dir / "tmp/.keep", "");
  }
  ~Sandbox() {
    close(master);
    close(slave);
  }
};

// An M-Bus master on a TCP connection to the gateway.
class Master {
 public:
  explicit Master(int port) {
    const bool up = testutil::WaitFor([&] { return Connect(port); }, std::chrono::seconds(20));
    if (!up) throw std::runtime_error("gateway does not accept connections");
  }
  ~Master() { close(fd_); }

  // Seconds from the last request byte sent to the last answer byte
  // received; negative when no whole RSP_UD came within 2 s.
  double ReqUd2Ms(uint8_t address) {
    const uint8_t c = 0x5B;
    const uint8_t frame[5] = {0x10, c, address, static_cast<uint8_t>(c + address), 0x16};
    if (send(fd_, frame, sizeof frame, 0) != sizeof frame) return -1;
    const auto sent = Clock::now();
    uint8_t answer[1024];
    size_t held = 0;
    while (held < 3 || held < static_cast<size_t>(answer[1]) + 6) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) return -1;
      const ssize_t n = recv(fd_, answer + held, sizeof answer - held, 0);
      if (n <= 0) return -1;
      held += static_cast<size_t>(n);
    }
    return Ms(Clock::now() - sent);
  }

 private:
  bool Connect(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      const int one = 1;
      setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return true;
    }
    close(fd_);
    return false;
  }
  int fd_ = -1;
};

// ---- Stages -------------------------------------------------------------

struct Latency {
  int objects;
  double floor;  // ms
  double median, p95;
  double cpuMsPerRequest;  // gateway CPU time (schedstat) per request
  double wakeupsPerObject;  // voluntary context switches per request and Object
  double runQueueMsPerRequest;  // gateway runnable but waiting for a CPU, per request
};

// kRequestsPerMeter REQ_UD2s per meter, each after a random 0-5 ms gap, as
// a master polling several lines would send them.
std::vector<Latency> MeasureLatency(Master& master, pid_t pid, double slaveMs) {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> gapUs(0, 5000);
  std::vector<Latency> rows;
  for (int objects : kMeterSizes) {
    std::vector<double> times;
    const ProcSample before = SampleProcess(pid);
    for (int i = 0; i < kRequestsPerMeter; ++i) {
      usleep(static_cast<useconds_t>(gapUs(random)));
      const double ms = master.ReqUd2Ms(static_cast<uint8_t>(objects));
      if (ms < 0) throw std::runtime_error("a REQ_UD2 got no answer");
      times.push_back(ms);
    }
    const ProcSample after = SampleProcess(pid);
    const double cpuMs = (after.cpuSecondsSched - before.cpuSecondsSched) * 1000.0;
    const double wakeups = static_cast<double>(after.voluntarySwitches - before.voluntarySwitches);
    rows.push_back({objects, FloorMs(objects, slaveMs), Percentile(times, 0.5), Percentile(times, 0.95),
                    cpuMs / kRequestsPerMeter,
                    wakeups / kRequestsPerMeter / objects,
                    (after.runQueueSeconds - before.runQueueSeconds) * 1000.0 / kRequestsPerMeter});
  }
  return rows;
}

struct Idle {
  double cpuPercentStat, cpuPercentSched;
  double sleepsPerSecond;       // voluntary context switches: the gateway went to sleep
  double preemptionsPerSecond;  // involuntary ones: taken off a CPU while it ran
  double pauseOvershootUs;      // median overshoot of a 2 ms sleep (the record pause), measured meanwhile
  double WakeupsPerSecond() const { return sleepsPerSecond + preemptionsPerSecond; }
};

double MedianPauseOvershootUs() {
  std::vector<double> overshoot;
  for (int i = 0; i < 250; ++i) {
    const auto start = Clock::now();
    usleep(static_cast<useconds_t>(kPauseAfterRecordMs * 1000));
    overshoot.push_back((Ms(Clock::now() - start) - kPauseAfterRecordMs) * 1000.0);
  }
  return Percentile(overshoot, 0.5);
}

// The gateway with nothing to do for kIdleSeconds.
Idle MeasureIdle(pid_t pid) {
  const ProcSample before = SampleProcess(pid);
  const auto start = Clock::now();
  const double overshootUs = MedianPauseOvershootUs();
  sleep(kIdleSeconds - 1);
  const ProcSample after = SampleProcess(pid);
  const double seconds = Ms(Clock::now() - start) / 1000.0;
  return {100.0 * (after.cpuSecondsStat - before.cpuSecondsStat) / seconds,
          100.0 * (after.cpuSecondsSched - before.cpuSecondsSched) / seconds,
          (after.voluntarySwitches - before.voluntarySwitches) / seconds,
          (after.involuntarySwitches - before.involuntarySwitches) / seconds, overshootUs};
}

struct ModelAlone {
  long processKb = -1;  // VmHWM of a process that loads the file and does nothing else
  long modelKb = -1;    // of which the model itself: VmHWM after loading minus VmRSS before
};

// What the meter model costs on its own, in a fresh process of this binary
// (which maps the same C and C++ libraries as the gateway).
ModelAlone MeasureModelAlone(const std::string& file) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ModelAlone alone;
  if (n <= 0) return alone;
  self[n] = '\0';
  FILE* pipe = popen(("'" + std::string(self) + "' --hold-model '" + file + "'").c_str(), "r");
  if (pipe == nullptr) return alone;
  if (std::fscanf(pipe, "%ld %ld", &alone.processKb, &alone.modelKb) != 2) alone = ModelAlone{};
  pclose(pipe);
  return alone;
}

int HoldModel(const std::string& file) {
  const long before = ReadStatusKb(getpid(), "VmRSS:");
  MeterModel model;
  if (!LoadDeviceFile(file, model) || !model.parsed) return 1;
  const long hwm = ReadStatusKb(getpid(), "VmHWM:");
  std::printf("%ld %ld\n", hwm, hwm - before);
  return 0;
}

struct Scale {
  double loadMs;
  double lookupFirstNs, lookupLastNs;  // the first and the last meter of the file, fastest round
};

constexpr int kLookupRounds = 201;
constexpr int kLookupsPerRound = 20000;

// Finding a meter by primary address and walking its records, as a REQ_UD2
// does, kLookupsPerRound times; ns per lookup.
double LookupNs(const MeterModel& model, uint8_t address) {
  unsigned sum = 0;
  const auto start = Clock::now();
  for (int i = 0; i < kLookupsPerRound; ++i) {
    const Meter* meter = MeterAtAddress(model, address);
    if (meter == nullptr) throw std::runtime_error("lookup found no meter");
    int found = 0;
    for (const Record& record : RecordsOf(model, *meter)) {
      sum += record.registerRead;
      ++found;
    }
    if (found != kLargeObjects) throw std::runtime_error("lookup found the wrong Objects");
  }
  const double ns = Ms(Clock::now() - start) * 1e6 / kLookupsPerRound;
  if (sum == 0) throw std::runtime_error("lookup read nothing");
  return ns;
}

// The first and the last meter of the large file, rounds taken in turn so
// that both meet the same machine load. A lookup takes tens of ns, so the
// fastest round of each is its cost: slower rounds measure the machine.
Scale MeasureScale(const std::string& file) {
  std::vector<double> loads;
  MeterModel model;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    LoadDeviceFile(file, model);
    loads.push_back(Ms(Clock::now() - start));
  }
  std::vector<double> first, last;
  for (int round = 0; round < kLookupRounds; ++round) {
    first.push_back(LookupNs(model, 1));
    last.push_back(LookupNs(model, static_cast<uint8_t>(kLargeMeters)));
  }
  return {Percentile(loads, 0.5), *std::min_element(first.begin(), first.end()),
          *std::min_element(last.begin(), last.end())};
}

long StrippedSizeBytes(const std::string& binary, const std::string& folder) {
  const std::string stripped = folder + "/kestrel.stripped";
  if (std::system(("strip -o '" + stripped + "' '" + binary + "'").c_str()) != 0) return -1;
  struct stat info {};
  return stat(stripped.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

std::string MachineModel() {
  FILE* pipe = popen("lscpu 2>/dev/null | sed -n 's/^Model name: *//p'", "r");
  char line[256] = "unknown";
  if (pipe != nullptr) {
    if (std::fgets(line, sizeof line, pipe) == nullptr) std::strcpy(line, "unknown");
    pclose(pipe);
  }
  std::string model = line;
  while (!model.empty() && model.back() == '\n') model.pop_back();
  return model;
}

// ---- Answers from memory -------------------------------------------------

// Starts the gateway on a DeviceFile and hands it to `use` once it accepts
// an M-Bus master (defined with the driver, below).
template <typename Use>
void WithGateway(const std::string& devices, Use use, double* slaveMs = nullptr);

constexpr uint8_t kCachedAddress = 40;
constexpr int kCachedObjects = 40;
constexpr int kCachedRequests = 500;
constexpr int kFreshRequests = 50;
constexpr int kFreshRequestsWithoutAnswer = 2;  // each takes seconds
constexpr int kSlowSlaveMs = 50;
constexpr double kCachedTargetMs = 5.0;

// The slave's behaviour while the master reads: the table's columns.
enum SlaveMode { kAnswersAtOnce, kAnswersLate, kSilent, kSlaveModes };
const char* const kSlaveModeNames[kSlaveModes] = {"answers at once", "answers after 50 ms", "silent"};

struct AnswerTimes {
  int asked = 0;
  int answered = 0;
  double median = 0, p99 = 0;  // of the answered ones, ms
};

struct FromMemory {
  AnswerTimes cached[kSlaveModes];  // the meter with MaxAge
  AnswerTimes fresh[kSlaveModes];   // the same meter without
  long hwmAllCachedKb = 0;          // the 250 x 40 file, every meter with MaxAge and its snapshot
};

// How many were answered, and their median and 99th percentile.
void AddPercentiles(AnswerTimes& times, const std::vector<double>& answered) {
  times.answered = static_cast<int>(answered.size());
  if (!answered.empty()) {
    times.median = Percentile(answered, 0.5);
    times.p99 = Percentile(answered, 0.99);
  }
}

// requests REQ_UD2s, each after a random 0-5 ms gap.
AnswerTimes Ask(Master& master, uint8_t address, int requests) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> gapUs(0, 5000);
  AnswerTimes times;
  std::vector<double> answered;
  for (times.asked = 0; times.asked < requests; ++times.asked) {
    usleep(static_cast<useconds_t>(gapUs(random)));
    const double ms = master.ReqUd2Ms(address);
    if (ms >= 0) answered.push_back(ms);
  }
  AddPercentiles(times, answered);
  return times;
}

void Switch(FastSlave& slave, int mode) {
  if (mode == kAnswersLate) slave.AnswerAfter(kSlowSlaveMs);
  if (mode == kSilent) slave.FallSilent();
}

// Until the meter answers from memory: its first complete read is done.
void AwaitSnapshot(Master& master, uint8_t address) {
  const bool answered = testutil::WaitFor([&] { return master.ReqUd2Ms(address) >= 0; }, std::chrono::seconds(60));
  if (!answered) throw std::runtime_error("a meter with MaxAge never answered");
}

// With MaxAge 1 the meter is read every half second: a slow slave (40
// reads of 52 ms) or a silent one keeps the line busy all the time, and the
// master reads while a background transaction waits.
void MeasureFromMemory(FromMemory& r) {
  WithGateway(BenchDeviceFile(BenchDevice(kCachedAddress, kCachedObjects, "MaxAge=\"1\"")),
              [&](pid_t, Master& master, Sandbox&, FastSlave& slave) {
                AwaitSnapshot(master, kCachedAddress);
                for (int mode = 0; mode < kSlaveModes; ++mode) {
                  Switch(slave, mode);
                  if (mode != kAnswersAtOnce) sleep(1);  // a read is under way by now
                  r.cached[mode] = Ask(master, kCachedAddress, kCachedRequests);
                }
              });
  WithGateway(BenchDeviceFile(BenchDevice(kCachedAddress, kCachedObjects)),
              [&](pid_t, Master& master, Sandbox&, FastSlave& slave) {
                for (int mode = 0; mode < kSlaveModes; ++mode) {
                  Switch(slave, mode);
                  const int requests = mode == kAnswersAtOnce ? kFreshRequests : kFreshRequestsWithoutAnswer;
                  r.fresh[mode] = Ask(master, kCachedAddress, requests);
                }
              });
  // Read in document order: once the last meter answers, every meter has its snapshot.
  WithGateway(LargeDeviceFile(kLargeMeters, kLargeObjects, "MaxAge=\"600\" BlockReads=\"1\""),
              [&](pid_t pid, Master& master, Sandbox&, FastSlave&) {
                AwaitSnapshot(master, kLargeMeters);
                r.hwmAllCachedKb = ReadStatusKb(pid, "VmHWM:");
              });
}

// ---- Several links -------------------------------------------------------

// Defined with the report, below.
std::string LoadAverage();

// Links of kLinkMeters meters each. The three-link plant: [ModbusPort], the
// pty whose slave answers at once, and two Modbus TCP devices that answer
// each request kSlowDeviceMs after it came; kLinkRecords records per meter,
// one read each, so that a slow link's first round is 80 reads of 300 ms.
constexpr int kLinkMeters = 8;
constexpr int kLinkRecords = 10;
constexpr int kSlowDevices = 2;
constexpr int kSlowDeviceMs = 300;
constexpr int kTcpLinkTimeoutMs = 1000;  // well above the slow devices' answer time
// Long enough that no meter is read twice before every meter was read once.
const char* const kLinkMeterAttributes = "MaxAge=\"300\"";
// The most links the gateway takes, each with kLinkMeters meters of
// kLargeObjects records, read as the large file of the from-memory stage.
constexpr int kManyLinks = 32;
const char* const kManyLinkAttributes = "MaxAge=\"600\" BlockReads=\"1\"";
// How the bench sees snapshots: the metrics file, written every second and
// read again at most this often.
const char* const kMetricsPath = "/tmp/kestrel.prom";  // below the sandbox's root
constexpr auto kMetricsReread = std::chrono::milliseconds(50);
constexpr auto kSnapshotsDeadline = std::chrono::seconds(120);

// The links of a plant: [ModbusPort] (named "") and [ModbusPort.NAME]s, each
// of the latter a TCP client of a device of its own.
struct Plant {
  std::vector<std::string> links;
  std::vector<std::unique_ptr<ModbusTcpDouble>> devices;
  std::string sections;  // for kestrel.ini
};

std::string TcpLinkSection(const std::string& name, int port) {
  return "[ModbusPort." + name + "]\nporttype = TCP\nlocalip = LO\nremoteip = 127.0.0.1\nremoteport = " +
         std::to_string(port) + "\nserver = 0\nframing = mbap\ntimeout = " + std::to_string(kTcpLinkTimeoutMs) +
         "\n";
}

// Links prefix1 to prefixN, their devices answering after answerMs. A
// device that cannot listen leaves its link unopened: its meters are never
// read, and the stage reports it.
void AddTcpLinks(Plant& plant, const char* prefix, int count, int answerMs) {
  for (int i = 1; i <= count; ++i) {
    plant.devices.push_back(std::make_unique<ModbusTcpDouble>(answerMs));
    plant.links.push_back(prefix + std::to_string(i));
    plant.sections += TcpLinkSection(plant.links.back(), plant.devices.back()->port());
  }
}

// Link `link`'s meters: numbered link * kLinkMeters + 1 and up, so that a
// meter keeps its number whichever links are in the file.
int FirstMeterOf(size_t link) { return static_cast<int>(link) * kLinkMeters + 1; }

std::string LinkDevices(const Plant& plant, size_t link, int records, const std::string& attributes) {
  const std::string& name = plant.links[link];
  const std::string all = (name.empty() ? "" : "ModbusPort=\"" + name + "\" ") + attributes;
  std::string devices;
  for (int m = 0; m < kLinkMeters; ++m) devices += BenchDevice(FirstMeterOf(link) + m, records, all);
  return devices;
}

// How a run sees its meters read.
enum class Watch {
  kMetrics,        // in the metrics file, written every second
  kMetricsAndAsk,  // the same, a master reading the meters seen meanwhile
  kLastMeters,     // without a metrics file: each link's last meter answers a REQ_UD2
};

// The sandbox's kestrel.ini with the plant's link sections and, unless
// kLastMeters, the metrics file written every second.
void AddPlant(const Sandbox& box, const Plant& plant, Watch watch) {
  const std::string path = box.dir / "config/kestrel.ini";
  std::string ini = testutil::ReadFile(path);
  const std::string main = "[Main]\n";
  const size_t at = ini.find(main);
  if (at != std::string::npos && watch != Watch::kLastMeters) {
    ini.insert(at + main.size(), std::string("metrics_file = ") + kMetricsPath + "\nmetrics_interval = 1\n");
  }
  testutil::WriteFile(path, ini + plant.sections);
}

// Which meters have a complete snapshot: a meter's sample of
// kestrel_meter_snapshot_age_seconds appears in the metrics file with its
// first complete read. Each is seen at the first read of the file that
// shows it, up to a metrics interval (1 s) after the read completed.
class SnapshotWatch {
 public:
  SnapshotWatch(std::string path, const std::vector<int>& meters, Clock::time_point start)
      : path_(std::move(path)), meters_(meters), seenS_(meters.size(), -1), start_(start) {
    for (size_t m = 0; m < meters.size(); ++m) placeOf_[BenchIdNumber(meters[m])] = m;
  }
  // Reads the file again once kMetricsReread has passed; true once every meter has been seen.
  bool Poll() {
    if (Clock::now() - lastRead_ >= kMetricsReread) Read();
    return seen_.size() == meters_.size();
  }
  // Seconds from the start until the meter (its place in the list) was seen; -1: not yet.
  double SeenS(size_t place) const { return seenS_[place]; }
  // The number of a meter seen so far, drawn at random; -1 when none.
  int AnySeen(std::mt19937& random) const {
    if (seen_.empty()) return -1;
    return seen_[std::uniform_int_distribution<size_t>(0, seen_.size() - 1)(random)];
  }

 private:
  void Read() {
    lastRead_ = Clock::now();
    std::istringstream text(testutil::ReadFile(path_));
    const std::string family = "kestrel_meter_snapshot_age_seconds{";
    const std::string label = "id=\"";
    for (std::string line; std::getline(text, line);) {
      const size_t id = line.find(label);
      if (line.compare(0, family.size(), family) != 0 || id == std::string::npos) continue;
      const size_t from = id + label.size();
      const auto found = placeOf_.find(line.substr(from, line.find('"', from) - from));
      if (found == placeOf_.end() || seenS_[found->second] >= 0) continue;
      seenS_[found->second] = Ms(lastRead_ - start_) / 1000.0;
      seen_.push_back(meters_[found->second]);
    }
  }

  std::string path_;
  std::vector<int> meters_;
  std::vector<double> seenS_;
  std::vector<int> seen_;  // numbers, in the order seen
  std::map<std::string, size_t> placeOf_;  // IdNumber to place in meters_
  Clock::time_point start_;
  Clock::time_point lastRead_{};
};

// The gateway on the pty of the other stages and the plant's links; `use`
// gets it once it accepts a master, with its metrics file and the time it
// was started.
template <typename Use>
void WithPlant(const Plant& plant, const std::string& devices, Watch watch, Use use) {
  Sandbox box(devices);
  AddPlant(box, plant, watch);
  FastSlave slave(box.master);
  const Clock::time_point start = Clock::now();
  testutil::Gateway gateway(box.dir.path());
  Master master(box.mbusPort);
  use(gateway.pid(), master, box.dir.path() + kMetricsPath, start);
}

struct LinksRun {
  std::vector<double> linkDoneS;  // per link run: until its last meter was seen, s; -1: never
  double allDoneS = -1;           // the last of them; -1 when a link never was
  AnswerTimes cached;             // REQ_UD2s to meters already seen, meanwhile
  long hwmKb = -1;                // VmHWM once every meter was seen (or at the deadline)
};

// REQ_UD2s to meters seen so far, each after a random 0-5 ms gap, until
// every meter has been seen or the deadline.
AnswerTimes AskWhileReading(Master& master, SnapshotWatch& watch) {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> gapUs(0, 5000);
  AnswerTimes times;
  std::vector<double> answered;
  for (const auto end = Clock::now() + kSnapshotsDeadline; !watch.Poll() && Clock::now() < end;) {
    usleep(static_cast<useconds_t>(gapUs(random)));
    const int meter = watch.AnySeen(random);
    if (meter < 0) continue;
    ++times.asked;
    const double ms = master.ReqUd2Ms(static_cast<uint8_t>(BenchPrimaryAddress(meter)));
    if (ms >= 0) answered.push_back(ms);
  }
  AddPercentiles(times, answered);
  return times;
}

// The watch's meters stand link by link, kLinkMeters each.
void NoteDone(const SnapshotWatch& watch, size_t links, LinksRun& run) {
  run.linkDoneS.assign(links, 0);
  for (size_t place = 0; place < links * kLinkMeters; ++place) {
    double& done = run.linkDoneS[place / kLinkMeters];
    const double seen = watch.SeenS(place);
    done = seen < 0 || done < 0 ? -1 : std::max(done, seen);
  }
  const auto last = std::max_element(run.linkDoneS.begin(), run.linkDoneS.end());
  const bool every = std::find(run.linkDoneS.begin(), run.linkDoneS.end(), -1.0) == run.linkDoneS.end();
  run.allDoneS = every && last != run.linkDoneS.end() ? *last : -1;
}

// A link's meters are read in file order (all are due at once, the first in
// the file first), so once each link's last meter answers a REQ_UD2, every
// meter has its snapshot. Seconds from start until then; -1: not within the
// deadline. Each link's last meter must be the first at its primary address.
double AwaitLastMeters(Master& master, const std::vector<size_t>& links, Clock::time_point start) {
  const Clock::time_point end = start + kSnapshotsDeadline;
  for (size_t link : links) {
    const auto address = static_cast<uint8_t>(BenchPrimaryAddress(FirstMeterOf(link) + kLinkMeters - 1));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (!testutil::WaitFor([&] { return master.ReqUd2Ms(address) >= 0; }, left)) return -1;
  }
  return Ms(Clock::now() - start) / 1000.0;
}

// Until every meter was read, as watch says.
void Observe(Watch watch, Master& master, const std::string& metricsFile, const std::vector<size_t>& links,
             const std::vector<int>& meters, Clock::time_point start, LinksRun& run) {
  if (watch == Watch::kLastMeters) {
    run.allDoneS = AwaitLastMeters(master, links, start);
    return;
  }
  SnapshotWatch seen(metricsFile, meters, start);
  if (watch == Watch::kMetricsAndAsk) run.cached = AskWhileReading(master, seen);
  else testutil::WaitFor([&] { return seen.Poll(); }, kSnapshotsDeadline);
  NoteDone(seen, links.size(), run);
}

// The plant's gateway with the meters of the given links only, in that
// order, the other links configured and idle.
LinksRun RunLinks(const Plant& plant, const std::vector<size_t>& links, int records, const std::string& attributes,
                  Watch watch) {
  std::string devices;
  std::vector<int> meters;
  for (size_t link : links) {
    devices += LinkDevices(plant, link, records, attributes);
    for (int m = 0; m < kLinkMeters; ++m) meters.push_back(FirstMeterOf(link) + m);
  }
  LinksRun run;
  WithPlant(plant, BenchDeviceFile(devices), watch,
            [&](pid_t pid, Master& master, const std::string& metricsFile, Clock::time_point start) {
              Observe(watch, master, metricsFile, links, meters, start, run);
              run.hwmKb = ReadStatusKb(pid, "VmHWM:");
            });
  return run;
}

std::vector<size_t> EveryLink(const Plant& plant) {
  std::vector<size_t> links(plant.links.size());
  for (size_t link = 0; link < links.size(); ++link) links[link] = link;
  return links;
}

// With more than 250 meters some share a primary address, the first in the
// file answering for it: the last link's meters first make each link's last
// meter the first at its address (kManyLinks x kLinkMeters = 256: meters
// 251 to 256 share addresses 1 to 6 with meters 1 to 6).
std::vector<size_t> LastLinkFirst(const Plant& plant) {
  std::vector<size_t> links = EveryLink(plant);
  std::reverse(links.begin(), links.end());
  return links;
}

struct SeveralLinks {
  std::vector<std::string> links;  // the three-link plant's names; "" for [ModbusPort]
  std::vector<double> aloneS;      // each link's meters without the others'
  LinksRun together;               // all three links' meters, a master reading meanwhile
  long tcpRequests = 0;
  long tcpOverlapping = 0;  // requests a TCP device got while it still owed an answer
  LinksRun many;            // kManyLinks links, every meter with its snapshot
  LinksRun manyWithMetrics;  // the same, its metrics file written every second
  std::string loadBefore, loadAfter;
};

void MeasureSeveralLinks(SeveralLinks& r) {
  r.loadBefore = LoadAverage();
  Plant plant;
  plant.links.push_back("");
  AddTcpLinks(plant, "slow", kSlowDevices, kSlowDeviceMs);
  r.links = plant.links;
  for (size_t link : EveryLink(plant)) {
    r.aloneS.push_back(RunLinks(plant, {link}, kLinkRecords, kLinkMeterAttributes, Watch::kMetrics).allDoneS);
  }
  r.together = RunLinks(plant, EveryLink(plant), kLinkRecords, kLinkMeterAttributes, Watch::kMetricsAndAsk);
  for (const auto& device : plant.devices) {
    r.tcpRequests += device->requests();
    r.tcpOverlapping += device->overlapping();
  }
  // The pty link of the sandbox stays, without meters: kManyLinks named links besides.
  Plant many;
  AddTcpLinks(many, "link", kManyLinks, 0);
  r.many = RunLinks(many, LastLinkFirst(many), kLargeObjects, kManyLinkAttributes, Watch::kLastMeters);
  r.manyWithMetrics = RunLinks(many, LastLinkFirst(many), kLargeObjects, kManyLinkAttributes, Watch::kMetrics);
  r.loadAfter = LoadAverage();
}

}  // namespace

namespace {

// ---- Report ---------------------------------------------------------------

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, again);
  va_end(again);
  text.resize(text.size() - 1);
  return text;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

double LastVsFirstPercent(const Scale& scale) {
  return 100.0 * (scale.lookupLastNs - scale.lookupFirstNs) / scale.lookupFirstNs;
}

constexpr double kLargeFileLimitMiB = 6.0;
constexpr double kLastVsFirstLimitPercent = 2.0;

// The M-Bus master's response window at 2400 baud: 330 bit times + 50 ms.
constexpr double kWindowMs = 330.0 * 1000.0 / 2400.0 + 50.0;
constexpr int kModbusBitsPerByte = 11;  // 8E1: start, 8 data, parity, stop
constexpr int kReadAnswerOverheadBytes = 5;

double ByteMs(int baud) { return kModbusBitsPerByte * 1000.0 / baud; }

double WireMs(int registers, int baud) {
  return (kReadRequestLength + kReadAnswerOverheadBytes + 2 * registers) * ByteMs(baud);
}

// What one Object costs besides its wire time and the pause: the gateway's
// own time per Object, measured or (zero overhead) none at all.
struct Overhead {
  double fixedMs;
  double perObjectMs;
};

// Objects that fit the window when each costs the pause, its wire time and
// the gateway's own cost, after a fixed cost per request; the last one's
// pause comes after the answer. The answer is taken as soon as its last
// byte is in.
int ObjectsThatFit(const Overhead& overhead, int registers, int baud) {
  const double perObject = kPauseAfterRecordMs + WireMs(registers, baud) + overhead.perObjectMs;
  return static_cast<int>(std::floor((kWindowMs - overhead.fixedMs + kPauseAfterRecordMs) / perObject));
}

// The same with BlockReads, all Objects contiguous: one request and answer
// head per block of at most 125 registers, a pause between blocks, and
// each Object's register bytes; the gateway's cost per Object is kept as
// measured for separate reads.
double BlockReadMs(const Overhead& overhead, int objects, int registers, int baud) {
  const int totalRegisters = objects * registers;
  const int blocks = (totalRegisters + kMaxReadRegisters - 1) / kMaxReadRegisters;
  return overhead.fixedMs + objects * overhead.perObjectMs + PausesMs(blocks) +
         blocks * (kReadRequestLength + kReadAnswerOverheadBytes) * ByteMs(baud) + 2 * totalRegisters * ByteMs(baud);
}

int ObjectsThatFitInBlocks(const Overhead& overhead, int registers, int baud) {
  int objects = 0;
  while (BlockReadMs(overhead, objects + 1, registers, baud) <= kWindowMs) ++objects;
  return objects;
}

std::string LineModel(const std::vector<Latency>& rows, double slaveMs) {
  const double slope = (rows.back().median - rows.front().median) / (rows.back().objects - rows.front().objects);
  // The slope holds a pause per Object; a request has one pause fewer.
  const double fixed = rows.front().median - slope * rows.front().objects + kPauseAfterRecordMs;
  const Overhead measured{fixed, std::max(0.0, slope - (kPauseAfterRecordMs + slaveMs))};
  const Overhead none{0.0, 0.0};
  std::string out = Format(
      "Measured per Object %.3f ms (slope of the medians, 1 to 32 Objects), of which %.3f ms above "
      "the 2 ms pause and the slave's %.3f ms; fixed cost per request %.3f ms. Window %.1f ms. With "
      "BlockReads the Objects are contiguous registers of one function, read in blocks of at most %d "
      "registers; the gateway's cost per Object is taken as measured for separate reads.\n\n",
      slope, measured.perObjectMs, slaveMs, fixed, kWindowMs, kMaxReadRegisters);
  out += "| Register width | Modbus baud | wire per Object (ms) | Objects that fit, measured gateway | "
         "Objects that fit, zero overhead | with BlockReads, measured gateway | with BlockReads, zero overhead | "
         "Objects within 240 record bytes |\n|---|---|---|---|---|---|---|---|\n";
  for (int registers = 1; registers <= 4; ++registers) {
    for (int baud : {9600, 19200}) {
      // Zero overhead: no cost beyond the pause and the wire.
      out += Format("| %d (%d bit) | %d | %.2f | %d | %d | %d | %d | %d |\n", registers, 16 * registers, baud,
                    WireMs(registers, baud), ObjectsThatFit(measured, registers, baud),
                    ObjectsThatFit(none, registers, baud), ObjectsThatFitInBlocks(measured, registers, baud),
                    ObjectsThatFitInBlocks(none, registers, baud), kMaxRecordBytes / (2 + 2 * registers));
    }
  }
  return out;
}

std::string LoadAverage() {
  std::string text = testutil::ReadFile("/proc/loadavg");
  const size_t third = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
  return third == std::string::npos ? text : text.substr(0, third);
}

struct Results {
  std::string loadBefore, loadAfter;
  double slaveMs = 0;
  std::vector<Latency> latency;
  Idle idle;
  long hwmSmallKb = 0, hwmLargeKb = 0, strippedBytes = 0;
  ModelAlone model;
  bool exampleFile = false;
  Scale scale;
  FromMemory memory;
  SeveralLinks links;
  std::string micro;
};

std::string TimesCells(const AnswerTimes& t) {
  if (t.answered == 0) return Format("0 of %d | | ", t.asked);
  return Format("%d of %d | %.2f | %.2f", t.answered, t.asked, t.median, t.p99);
}

std::string MemoryReport(const FromMemory& m) {
  std::string out = Format(
      "\n## Answers from memory\n\nA meter of %d INT16 records (primary address %d, one read per record) on "
      "the pty line of the other stages (Modbus timeout 200 ms, M-Bus timeout 1000 ms). With `MaxAge=\"1\"` it "
      "is read in the background every half second, so that a slow slave (%d reads of %d ms) or a silent one "
      "keeps the Modbus line busy all the time while the master reads; without, every REQ_UD2 reads it "
      "afresh. Last request byte to last answer byte on TCP, after random 0-5 ms gaps.\n\n"
      "| Modbus slave | with MaxAge: answered | median (ms) | p99 (ms) | target p99 (ms) | | without MaxAge: "
      "answered | median (ms) | p99 (ms) |\n|---|---|---|---|---|---|---|---|---|\n",
      kCachedObjects, kCachedAddress, kCachedObjects, kSlowSlaveMs + 2);
  for (int mode = 0; mode < kSlaveModes; ++mode) {
    const AnswerTimes& cached = m.cached[mode];
    const bool met = cached.answered == cached.asked && cached.p99 <= kCachedTargetMs;
    out += Format("| %s | %s | <= %.0f | %s | %s |\n", kSlaveModeNames[mode], TimesCells(cached).c_str(),
                  kCachedTargetMs, Verdict(met), TimesCells(m.fresh[mode]).c_str());
  }
  const double mib = m.hwmAllCachedKb / 1024.0;
  out += Format("\n| measure | value | target | |\n|---|---|---|---|\n| peak RSS (VmHWM), %d x %d file, every meter "
                "with MaxAge and its snapshot (BlockReads) | %.2f MiB | <= %.0f MiB | %s |\n",
                kLargeMeters, kLargeObjects, mib, kLargeFileLimitMiB, Verdict(mib <= kLargeFileLimitMiB));
  return out;
}

// Together, every meter of the plant read within this many times the slowest link alone.
constexpr double kTogetherFactor = 1.2;
constexpr double kManyLinksLimitMiB = 6.5;

std::string LinkLabel(const std::string& name) {
  if (name.empty()) return "`[ModbusPort]`: the pty, its slave answers at once";
  return Format("`[ModbusPort.%s]`: Modbus TCP, its device answers after %d ms", name.c_str(), kSlowDeviceMs);
}

std::string SecondsText(double s) {
  return s < 0 ? Format("not within %lld s", static_cast<long long>(kSnapshotsDeadline.count())) : Format("%.1f s", s);
}

// The slowest link alone, -1 when a link never had all its meters read.
double SlowestAloneS(const SeveralLinks& r) {
  double slowest = -1;
  for (double s : r.aloneS) {
    if (s < 0) return -1;
    slowest = std::max(slowest, s);
  }
  return slowest;
}

std::string LinksTimes(const SeveralLinks& r) {
  std::string out = "| link | its meters read, alone | its meters read, all three together |\n|---|---|---|\n";
  for (size_t link = 0; link < r.links.size(); ++link) {
    const double alone = link < r.aloneS.size() ? r.aloneS[link] : -1;
    const double together = link < r.together.linkDoneS.size() ? r.together.linkDoneS[link] : -1;
    out += Format("| %s | %s | %s |\n", LinkLabel(r.links[link]).c_str(), SecondsText(alone).c_str(),
                  SecondsText(together).c_str());
  }
  return out;
}

std::string LinksTargets(const SeveralLinks& r) {
  const double slowest = SlowestAloneS(r);
  const double together = r.together.allDoneS;
  const AnswerTimes& asked = r.together.cached;
  const bool allAnswered = asked.asked > 0 && asked.answered == asked.asked;
  const double mib = r.many.hwmKb / 1024.0;
  std::string out = "\n| measure | value | target | |\n|---|---|---|---|\n";
  out += Format("| every meter of the three links read, together | %s | <= %.1f x %s (the slowest link alone) | %s |\n",
                SecondsText(together).c_str(), kTogetherFactor, SecondsText(slowest).c_str(),
                Verdict(together >= 0 && slowest >= 0 && together <= kTogetherFactor * slowest));
  out += Format("| REQ_UD2s to meters already read, meanwhile: answered | %d of %d | all | %s |\n", asked.answered,
                asked.asked, Verdict(allAnswered));
  out += Format("| their median / p99 | %.2f / %.2f ms | p99 <= %.0f ms | %s |\n", asked.median, asked.p99,
                kCachedTargetMs, Verdict(allAnswered && asked.p99 <= kCachedTargetMs));
  out += Format("| requests a TCP device got while it still owed an answer | %ld of %ld | 0 | %s |\n",
                r.tcpOverlapping, r.tcpRequests, Verdict(r.tcpRequests > 0 && r.tcpOverlapping == 0));
  out += Format("| peak RSS (VmHWM), %d links x %d meters x %d records, every meter read (within %s) | %.2f MiB | "
                "<= %.1f MiB | %s |\n",
                kManyLinks, kLinkMeters, kLargeObjects, SecondsText(r.many.allDoneS).c_str(), mib, kManyLinksLimitMiB,
                Verdict(r.many.allDoneS >= 0 && r.many.hwmKb > 0 && mib <= kManyLinksLimitMiB));
  out += Format("| the same with the metrics file written every second (every meter read in %s) | %.2f MiB | | |\n",
                SecondsText(r.manyWithMetrics.allDoneS).c_str(), r.manyWithMetrics.hwmKb / 1024.0);
  return out;
}

// Why the targets were met or missed, from the figures of this run.
std::string LinksFinding(const SeveralLinks& r) {
  const double slowest = SlowestAloneS(r);
  if (slowest <= 0 || r.together.allDoneS < 0) return "\nNot every meter was read: the trace of a run by hand says why.\n";
  return Format(
      "\nThe links are read side by side, each with its own transaction: together the three links' %d meters "
      "were read in %s, %+.1f %% against the slowest link alone (%s: its device's %d answers of %d ms, %.1f s, "
      "then start-up and up to a second until the metrics file shows it). Meters already read were answered from "
      "memory in %.2f ms at the 99th percentile while both TCP links waited for their devices, and no device got "
      "a request while it owed an answer: one request in flight per link.\n",
      static_cast<int>(r.links.size()) * kLinkMeters, SecondsText(r.together.allDoneS).c_str(),
      100.0 * (r.together.allDoneS - slowest) / slowest, SecondsText(slowest).c_str(), kLinkMeters * kLinkRecords,
      kSlowDeviceMs, kLinkMeters * kLinkRecords * kSlowDeviceMs / 1000.0, r.together.cached.p99);
}

std::string LinksReport(const SeveralLinks& r) {
  std::string out = Format(
      "\n## Several links\n\nThree Modbus links behind one M-Bus line, each with %d meters of %d INT16 records (one "
      "read per record) and `%s`: `[ModbusPort]`, the pty of the other stages, and `[ModbusPort.slow1]` and "
      "`[ModbusPort.slow2]`, Modbus TCP clients (`framing = mbap`, `timeout = %d`) of devices on 127.0.0.1 that "
      "answer each request %d ms after it came, so that a slow link's first round is %d reads. A meter counts as "
      "read once its sample of `kestrel_meter_snapshot_age_seconds` is in the metrics file (`metrics_interval = "
      "1`, read by the bench every %lld ms): times run from the gateway's start to the first read of the file that "
      "shows it, up to a second after the read itself completed. Each link's time alone is measured, not "
      "computed: the gateway with that link's %d meters only (the other links configured and idle) and no master. "
      "All three together, an M-Bus master meanwhile sends REQ_UD2s to meters already read, picked at random, "
      "after random 0-5 ms gaps; last request byte to last answer byte on TCP. Load average (1, 5, 15 min) %s "
      "before this stage, %s after.\n\n",
      kLinkMeters, kLinkRecords, kLinkMeterAttributes, kTcpLinkTimeoutMs, kSlowDeviceMs, kLinkMeters * kLinkRecords,
      static_cast<long long>(kMetricsReread.count()), kLinkMeters, r.loadBefore.c_str(), r.loadAfter.c_str());
  out += LinksTimes(r) + LinksTargets(r);
  out += Format(
      "\nThe largest plant: %d sections `[ModbusPort.link1]` to `[ModbusPort.link%d]`, each a Modbus TCP client "
      "(`framing = mbap`) of a device of its own on 127.0.0.1 that answers at once, with %d meters of %d records "
      "(`%s`, as the large file of Answers from memory); `[ModbusPort]`, the pty, has no meters. Its peak RSS is "
      "taken once every meter was read: a link reads its meters in file order, so once each link's last meter "
      "answers a REQ_UD2 they all have their snapshots (the links stand in the file last first, so that of the "
      "%d meters each link's last is the first at its primary address). The gateway has no metrics file there; "
      "the row below it is a run with one, seen through the file as above, whose text for %d meters takes memory "
      "of its own while it is written.\n",
      kManyLinks, kManyLinks, kLinkMeters, kLargeObjects, kManyLinkAttributes, kManyLinks * kLinkMeters,
      kManyLinks * kLinkMeters);
  out += LinksFinding(r);
  return out;
}

// Puts section in place of the one under the same heading in the report at
// path, or before its Findings; a missing report becomes the section alone.
void SpliceSection(const std::string& path, const std::string& section) {
  std::string report = testutil::ReadFile(path);
  const std::string heading = section.substr(0, section.find('\n', 1) + 1);  // "\n## Name\n"
  size_t from = report.find(heading);
  size_t to = from == std::string::npos ? std::string::npos : report.find("\n## ", from + 1);
  if (from == std::string::npos) from = to = report.find("\n## Findings\n");
  if (from == std::string::npos) from = to = report.size();
  report.replace(from, (to == std::string::npos ? report.size() : to) - from, section);
  testutil::WriteFile(path, report);
}

// Why a target was met or missed, from the figures of this run.
std::string Findings(const Results& r) {
  std::string out = "\n## Findings\n\n";
  const Latency& big = r.latency.back();
  const double overhead = big.median - big.floor;
  const double own = overhead - big.runQueueMsPerRequest;
  out += Format(
      "- Latency: at %d Objects the median overhead above the floor is %.2f ms (target %.1f ms). Each "
      "Object costs the gateway %.2f wake-ups (the 2 ms pause, and the answer, taken as soon as it is "
      "in) and about %.0f us of CPU; it waited %.2f ms per request in a run queue for a CPU (load "
      "average %s on %ld cores), without which the overhead is %.2f ms: %s. What is left per Object is "
      "the overshoot of the 2 ms pause (median %.0f us per 2 ms sleep in this run) and the CPU time, "
      "most of it the cost of a wake-up on this machine. The pause itself is the specified silence "
      "between Modbus frames and is not shortened.\n",
      big.objects, overhead, OverheadTargetMs(big.objects), big.wakeupsPerObject,
      1000.0 * big.cpuMsPerRequest / big.objects, big.runQueueMsPerRequest, r.loadBefore.c_str(),
      sysconf(_SC_NPROCESSORS_ONLN), own,
      own <= OverheadTargetMs(big.objects) ? "within the target" : "still above the target",
      r.idle.pauseOvershootUs);
  out += Format(
      "- Idle: %.3f %% of one core at %.2f wake-ups per second (%.2f sleeps, %.2f preemptions). Between "
      "frames the loop blocks in ppoll on the M-Bus port's descriptors and the trace folder's inotify "
      "watch, with a time-out to the next thing due; on an idle line that is only the PidFile, every 9 s "
      "(the watch's event for the PidFile's own close is emptied in the same cycle).\n",
      r.idle.cpuPercentSched, r.idle.WakeupsPerSecond(), r.idle.sleepsPerSecond, r.idle.preemptionsPerSecond);
  out += Format(
      "- Footprint: the DeviceFile is streamed through Mini-XML's SAX parser into the meter model and "
      "no document is held; the %d x %d model takes %.2f MiB, and the gateway's resident set is otherwise "
      "almost all shared library pages (C and C++ runtime, libm, Mini-XML), %.2f MiB above a process that "
      "holds only the model.\n",
      kLargeMeters, kLargeObjects, r.model.modelKb / 1024.0, (r.hwmLargeKb - r.model.processKb) / 1024.0);
  out += Format(
      "- Scale: a meter is found by its primary address through an index and its records are a list of "
      "their own, so the last meter of the %d x %d file costs %.1f ns against %.1f ns for the first "
      "(%+.1f %%), a few parts in a million of the %.0f ms floor of a 40-Object request.\n",
      kLargeMeters, kLargeObjects, r.scale.lookupLastNs, r.scale.lookupFirstNs, LastVsFirstPercent(r.scale),
      FloorMs(kLargeObjects, r.slaveMs));
  const AnswerTimes& silent = r.memory.cached[kSilent];
  out += Format(
      "- Answers from memory: the meter with MaxAge answers in %.2f ms at the 99th percentile while its "
      "silent slave holds the line (%.2f ms with a slave that answers at once): the answer is the snapshot "
      "put in a telegram, and the loop takes the request while the background transaction waits for its "
      "slave. Without MaxAge the same meter needs %.0f ms with a slave that answers at once, and with a slow "
      "or silent slave it is not answered at all: its read outlasts the M-Bus time-out, or fails.\n",
      silent.p99, r.memory.cached[kAnswersAtOnce].p99, r.memory.fresh[kAnswersAtOnce].median);
  out += "- The gateway sets its timer slack to 1 ns at start (prctl PR_SET_TIMERSLACK): with the default "
         "50 us every 2 ms pause and every wait would run that much longer.\n";
  return out;
}

std::string Report(const Results& r) {
  std::string out = "# Performance\n\nGenerated by `scripts/bench`.\n\n";
  out += Format("Machine: %s, %ld cores online. Build type: %s. Load average (1, 5, 15 min) %s at the "
                "start, %s at the end.\n\n", MachineModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN),
                KESTREL_BUILD_TYPE, r.loadBefore.c_str(), r.loadAfter.c_str());

  out += "## REQ_UD2 latency\n\nLast request byte sent to last answer byte received; M-Bus side TCP on "
         "127.0.0.1, Modbus side a pty with a slave that answers at once; " +
         std::to_string(kRequestsPerMeter) + " requests per meter. " +
         Format("Floor = per Object the slave's answer time (%.3f ms: median round trip of a read request "
                "on the same line, for a master waiting in poll, before the gateway starts), and the 2 ms "
                "pause between two Objects' reads (the pause after the last one follows the answer).\n\n",
                r.slaveMs) +
         "| Objects | median (ms) | p95 (ms) | floor (ms) | overhead median (ms) | overhead p95 (ms) | "
         "target (ms) | | gateway CPU per request (ms) | gateway waiting for a CPU per request (ms) | "
         "gateway wake-ups per Object |\n|---|---|---|---|---|---|---|---|---|---|---|\n";
  for (const Latency& l : r.latency) {
    const double overhead = l.median - l.floor;
    out += Format("| %d | %.2f | %.2f | %.2f | %.2f | %.2f | <= %.1f | %s | %.3f | %.3f | %.2f |\n", l.objects,
                  l.median, l.p95, l.floor, overhead, l.p95 - l.floor, OverheadTargetMs(l.objects),
                  Verdict(overhead <= OverheadTargetMs(l.objects)), l.cpuMsPerRequest, l.runQueueMsPerRequest,
                  l.wakeupsPerObject);
  }

  out += "\nOverhead without the time the gateway was runnable but had no CPU (median overhead minus the "
         "mean run-queue wait from /proc/<pid>/schedstat):\n\n| Objects | overhead (ms) | target (ms) | |\n"
         "|---|---|---|---|\n";
  for (const Latency& l : r.latency) {
    const double own = l.median - l.floor - l.runQueueMsPerRequest;
    out += Format("| %d | %.2f | <= %.1f | %s |\n", l.objects, own, OverheadTargetMs(l.objects),
                  Verdict(own <= OverheadTargetMs(l.objects)));
  }

  out += "\n## Line model\n\n" + LineModel(r.latency, r.slaveMs);

  out += "\n## Idle cost\n\n| measure | value | target | |\n|---|---|---|---|\n";
  out += Format("| CPU over %d s, /proc/<pid>/stat | %.2f %% | < %.1f %% | %s |\n", kIdleSeconds,
                r.idle.cpuPercentStat, kIdleCpuTargetPercent, Verdict(r.idle.cpuPercentStat < kIdleCpuTargetPercent));
  out += Format("| CPU over %d s, /proc/<pid>/schedstat (ns) | %.4f %% | < %.1f %% | %s |\n", kIdleSeconds,
                r.idle.cpuPercentSched, kIdleCpuTargetPercent, Verdict(r.idle.cpuPercentSched < kIdleCpuTargetPercent));
  out += Format("| wake-ups per second (voluntary + involuntary context switches) | %.2f | <= %.0f | %s |\n",
                r.idle.WakeupsPerSecond(), kIdleWakeupTarget, Verdict(r.idle.WakeupsPerSecond() <= kIdleWakeupTarget));
  out += Format("| of which voluntary (the gateway went to sleep) | %.2f | | |\n", r.idle.sleepsPerSecond);
  out += Format("| same window: median overshoot of a 2 ms sleep | %.0f us | | |\n", r.idle.pauseOvershootUs);

  const double largeMiB = r.hwmLargeKb / 1024.0;
  const double largeAboveModelMiB = (r.hwmLargeKb - r.model.processKb) / 1024.0;
  out += "\n## Footprint\n\n| measure | value | target | |\n|---|---|---|---|\n";
  out += Format("| peak RSS (VmHWM), %s | %.2f MiB | < 4 MiB | %s |\n",
                r.exampleFile ? "example config/meters.xml" : "benchmark file (3 meters, 41 Objects)",
                r.hwmSmallKb / 1024.0, Verdict(r.hwmSmallKb < 4 * 1024));
  out += Format("| peak RSS (VmHWM), %d x %d file | %.2f MiB | <= %.0f MiB | %s |\n", kLargeMeters,
                kLargeObjects, largeMiB, kLargeFileLimitMiB, Verdict(largeMiB <= kLargeFileLimitMiB));
  out += Format("| process holding only the meter model of that file | %.2f MiB | | |\n",
                r.model.processKb / 1024.0);
  out += Format("| of which the model (VmHWM after loading - VmRSS before) | %.2f MiB | | |\n",
                r.model.modelKb / 1024.0);
  out += Format("| gateway above its model | %.2f MiB | <= 1.5 MiB | %s |\n", largeAboveModelMiB,
                Verdict(largeAboveModelMiB <= 1.5));
  out += Format("| stripped binary | %ld bytes | | |\n", r.strippedBytes);

  out += "\n## Scale\n\n| measure | value | target | |\n|---|---|---|---|\n";
  out += Format("| load %d x %d DeviceFile | %.1f ms | | |\n", kLargeMeters, kLargeObjects, r.scale.loadMs);
  out += Format("| meter + records lookup, first meter (fastest of %d rounds) | %.1f ns | | |\n", kLookupRounds,
                r.scale.lookupFirstNs);
  out += Format("| same, last meter in the file | %.1f ns | | |\n", r.scale.lookupLastNs);
  out += Format("| last vs first | %+.1f %% | within %.0f %% | %s |\n", LastVsFirstPercent(r.scale),
                kLastVsFirstLimitPercent, Verdict(std::fabs(LastVsFirstPercent(r.scale)) <= kLastVsFirstLimitPercent));

  out += MemoryReport(r.memory);
  out += LinksReport(r.links);
  out += Findings(r);
  if (!r.micro.empty()) out += "\n## Micro-benchmarks\n\n```\n" + r.micro + "```\n";
  return out;
}

// ---- Driver ---------------------------------------------------------------

template <typename Use>
void WithGateway(const std::string& devices, Use use, double* slaveMs) {
  Sandbox box(devices);
  FastSlave slave(box.master);
  if (slaveMs != nullptr) *slaveMs = SlaveAnswerMs(box.slave);
  testutil::Gateway gateway(box.dir.path());
  Master master(box.mbusPort);
  use(gateway.pid(), master, box, slave);
}

std::string MeterSizesFile() {
  std::string devices;
  for (int objects : kMeterSizes) devices += BenchDevice(objects, objects);
  return BenchDeviceFile(devices);
}

void Stage(const char* name) { std::fprintf(stderr, "bench: %s\n", name); }

int RunAll(const std::string& outPath, const std::string& microPath, const std::string& sourceDir) {
  UsePreciseSleeps();  // the pause probe measures sleeps as the gateway makes them
  Results r;
  r.loadBefore = LoadAverage();
  Stage("REQ_UD2 latency, idle cost");
  WithGateway(
      MeterSizesFile(),
      [&](pid_t pid, Master& master, Sandbox&, FastSlave&) {
        r.latency = MeasureLatency(master, pid, r.slaveMs);
        r.idle = MeasureIdle(pid);
        r.hwmSmallKb = ReadStatusKb(pid, "VmHWM:");
      },
      &r.slaveMs);
  const std::string example = sourceDir + "/config/meters.xml";
  if (!sourceDir.empty() && testutil::FileExists(example)) {
    Stage("footprint with the example DeviceFile");
    r.exampleFile = true;
    WithGateway(testutil::ReadFile(example),
                [&](pid_t pid, Master&, Sandbox&, FastSlave&) { r.hwmSmallKb = ReadStatusKb(pid, "VmHWM:"); });
  }
  Stage("footprint and scale with the large DeviceFile");
  WithGateway(LargeDeviceFile(kLargeMeters, kLargeObjects), [&](pid_t pid, Master& master, Sandbox& box, FastSlave&) {
    if (master.ReqUd2Ms(kLargeMeters) < 0) throw std::runtime_error("the last large meter did not answer");
    r.hwmLargeKb = ReadStatusKb(pid, "VmHWM:");
    r.model = MeasureModelAlone(box.deviceFile);
    r.scale = MeasureScale(box.deviceFile);
    r.strippedBytes = StrippedSizeBytes(KESTREL_BINARY, box.dir.path());
  });
  Stage("answers from memory, and the large DeviceFile with every meter read in the background");
  MeasureFromMemory(r.memory);
  Stage("several links");
  MeasureSeveralLinks(r.links);
  if (!microPath.empty()) r.micro = testutil::ReadFile(microPath);
  r.loadAfter = LoadAverage();

  const std::string report = Report(r);
  std::fputs(report.c_str(), stdout);
  if (!outPath.empty()) testutil::WriteFile(outPath, report);
  return 0;
}

// The stage that can run alone (--only): the one it names, in --list too.
const char* const kSeveralLinksStage = "several-links";

// Its section printed and, with an output file, put in place of its section
// there, the rest of the file kept.
int RunOnly(const std::string& stage, const std::string& outPath) {
  if (stage != kSeveralLinksStage) {
    std::fprintf(stderr, "--only %s: only %s runs alone\n", stage.c_str(), kSeveralLinksStage);
    return 2;
  }
  UsePreciseSleeps();  // the master's gaps, as in the full run
  Stage("several links");
  SeveralLinks links;
  MeasureSeveralLinks(links);
  const std::string section = LinksReport(links);
  std::fputs(section.c_str(), stdout);
  if (!outPath.empty()) SpliceSection(outPath, section);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out, micro, source, only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--list") {
      std::puts("latency 1 8 32\nline-model\nidle\nfootprint\nscale\nfrom-memory");
      std::puts(kSeveralLinksStage);
      return 0;
    }
    if (arg == "--hold-model" && hasValue) return HoldModel(argv[i + 1]);
    if (arg == "--out" && hasValue) out = argv[++i];
    else if (arg == "--micro" && hasValue) micro = argv[++i];
    else if (arg == "--source" && hasValue) source = argv[++i];
    else if (arg == "--only" && hasValue) only = argv[++i];
    else {
      std::fprintf(stderr, "usage: %s [--out FILE] [--micro FILE] [--source DIR] | --only %s [--out FILE] | --list\n",
                   argv[0], kSeveralLinksStage);
      return 2;
    }
  }
  try {
    return only.empty() ? RunAll(out, micro, source) : RunOnly(only, out);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench failed: %s\n", e.what());
    return 1;
  }
}
