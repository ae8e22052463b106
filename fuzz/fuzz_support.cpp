#include "fuzz/fuzz_support.h"

#include <netdb.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "mbus/frame.h"
#include "modbus/crc.h"
#include "modbus/function_codes.h"

using namespace kestrel;

// The loop pauses 4 ms per cycle and the Modbus transaction 1 ms per poll.
// Time is not what is under test here, and every wait is counted in polls or
// cycles, so sleeping is skipped to keep thousands of inputs per second.
extern "C" int usleep(useconds_t) { return 0; }

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
