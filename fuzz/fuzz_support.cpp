#include "fuzz/fuzz_support.h"

#include <netdb.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "mbus/frame.h"
#include "modbus/crc.h"
#include "modbus/function_codes.h"

using namespace kestrel;

// Time is not what is under test here, but the gateway's limits are wall
// time (a Modbus attempt lasts its timeout in ms however often its polls
// return). So the raw monotonic clock that every limit is counted in is
// made up: it moves on only when the gateway waits, and by exactly the time
// it waits, while ppoll and usleep return at once. Every limit holds as it
// would, and thousands of inputs run per second. Other clocks are real.
namespace {
int64_t gWaitedNs = int64_t{1000000} * 1000000000;  // far from 0, like an uptime
constexpr int64_t kNsPerSecond = 1000000000;
}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* now) {
  if (clock != CLOCK_MONOTONIC_RAW) return static_cast<int>(syscall(SYS_clock_gettime, clock, now));
  now->tv_sec = static_cast<time_t>(gWaitedNs / kNsPerSecond);
  now->tv_nsec = static_cast<long>(gWaitedNs % kNsPerSecond);
  return 0;
}

// No descriptor is ever ready: the scripted ports have none, and they say
// "input now" by a time-out of 0.
extern "C" int ppoll(struct pollfd*, nfds_t, const struct timespec* timeout, const sigset_t*) {
  if (timeout != nullptr) gWaitedNs += int64_t{timeout->tv_sec} * kNsPerSecond + timeout->tv_nsec;
  return 0;
}

extern "C" int usleep(useconds_t us) {
  gWaitedNs += int64_t{us} * 1000;
  return 0;
}

// Fuzzed INI text may name any host; nothing here may ever ask a resolver.
extern "C" struct hostent* gethostbyname(const char*) { return nullptr; }

namespace fuzzsupport {

const std::string& FuzzRoot() {
  static const std::string root = [] {
    char pattern[] = "/tmp/kestrel-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    const std::string path = made != nullptr ? made : "/tmp/kestrel-fuzz-fallback";
    mkdir((path + "/tmp").c_str(), 0700);
    mkdir((path + "/config").c_str(), 0700);
    setenv("KESTREL_ROOT", path.c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(getenv("KESTREL_ROOT"), ignored);
    });
    return path;
  }();
  return root;
}

void WriteText(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  if (size > 0) std::fwrite(data, 1, size, file);
  std::fclose(file);
}

Bytes WithCrc(Bytes frame) {
  const size_t length = frame.size();
  frame.resize(length + 2);
  AppendModbusCrc(frame.data(), static_cast<uint32_t>(length));
  return frame;
}

Bytes CooperativeAnswer(const Bytes& request, uint8_t fill) {
  constexpr uint8_t kWriteSingleCoil = 0x05;
  if (request.size() < 6) return {};
  if (request[1] == kWriteMultipleRegisters || request[1] == kWriteSingleRegister || request[1] == kWriteSingleCoil) {
    return WithCrc(Bytes(request.begin(), request.begin() + 6));
  }
  const int registers = request[4] << 8 | request[5];
  if (registers > 125) return {};
  Bytes answer = {request[0], request[1], static_cast<uint8_t>(registers * 2)};
  answer.insert(answer.end(), static_cast<size_t>(registers * 2), fill);
  return WithCrc(answer);
}

bool IsWellFormedAnswer(const Bytes& answer, bool collisions) {
  if (answer.size() == 1) return answer[0] == kAckByte || (collisions && answer[0] == kCollisionByte);
  if (answer.size() < 6 || answer[0] != kLongFrameStart || answer[3] != kLongFrameStart) return false;
  if (answer[1] != answer[2] || answer.size() != static_cast<size_t>(answer[1]) + 6) return false;
  const int l = answer[1];
  return answer[4 + l] == MBusChecksum(answer.data() + 4, l) && answer[5 + l] == kStopByte;
}

}  // namespace fuzzsupport
