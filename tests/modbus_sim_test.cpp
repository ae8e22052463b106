// The Modbus slave simulator of tools/modbus_sim, driven over a real pty
// with byte-exact requests: register layouts, several slaves, absent slaves,
// exceptions, moving values and a clean stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "modbus/crc.h"
#include "tests/test_util.h"

using namespace kestrel;

#ifdef MODBUS_SIM_BINARY

namespace {

using Bytes = std::vector<uint8_t>;
using testutil::TempDir;
using testutil::WaitFor;
using testutil::WriteFile;

// The simulator on the slave side of a pty pair; the test holds the master.
class Simulator {
 public:
  Simulator(const std::string& registerFile, const std::vector<std::string>& options = {}) {
    termios raw{};
    cfmakeraw(&raw);
    char name[64];
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) return;
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      std::vector<std::string> args = {MODBUS_SIM_BINARY};
      args.insert(args.end(), options.begin(), options.end());
      args.push_back(name);
      args.push_back(registerFile);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(MODBUS_SIM_BINARY, argv.data());
      _exit(127);
    }
    close(out[1]);
    output_ = out[0];
  }
  ~Simulator() {
    if (!exited_ && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {master_, slave_, output_}) {
      if (fd >= 0) close(fd);
    }
  }

  // Reads its output (stdout and stderr) up to the first line end.
  std::string FirstLine() {
    std::string line;
    char c;
    while (read(output_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // Sends the request with its CRC; collects the answer until the line has
  // been quiet for a while (or nothing came at all).
  Bytes Ask(Bytes request) {
    request.resize(request.size() + 2);
    AppendModbusCrc(request.data(), static_cast<uint32_t>(request.size() - 2));
    return AskRaw(request);
  }
  Bytes AskRaw(const Bytes& request) {
    if (write(master_, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return {};
    Bytes answer;
    pollfd wait = {master_, POLLIN, 0};
    int quietMs = 300;  // first byte; afterwards a short gap ends the answer
    while (poll(&wait, 1, quietMs) > 0) {
      uint8_t chunk[256];
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) break;
      answer.insert(answer.end(), chunk, chunk + n);
      quietMs = 50;
    }
    return answer;
  }

  // Sends SIGTERM and returns the exit status (-1: killed or still running).
  int Stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    const bool ended = WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(3));
    exited_ = ended;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int ExitStatus() {
    int status = 0;
    exited_ = WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(3));
    return exited_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  int output_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
};

// Data bytes of a read answer (after address, function and byte count).
Bytes DataOf(const Bytes& answer) {
  if (answer.size() < 5) return {};
  return Bytes(answer.begin() + 3, answer.end() - 2);
}

struct Layout {
  const char* type;
  int order;
  const char* value;
  Bytes wire;
};

const Layout kLayouts[] = {
    {"INT16", 0, "4386", {0x11, 0x22}},
    {"UINT16", 1, "4386", {0x22, 0x11}},
    {"INT16", 2, "-2", {0xFF, 0xFE}},
    {"UINT16", 3, "4386", {0x22, 0x11}},
    {"INT32", 0, "287454020", {0x11, 0x22, 0x33, 0x44}},
    {"UINT32", 1, "287454020", {0x44, 0x33, 0x22, 0x11}},
    {"INT32", 2, "287454020", {0x33, 0x44, 0x11, 0x22}},
    {"UINT32", 3, "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}},
    {"INT32", 3, "287454020", {0x22, 0x11, 0x44, 0x33}},
    {"INT48", 0, "18838586676582", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}},
    {"UINT48", 1, "18838586676582", {0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
    {"INT48", 2, "18838586676582", {0x55, 0x66, 0x33, 0x44, 0x11, 0x22}},
    {"UINT48", 3, "18838586676582", {0x22, 0x11, 0x44, 0x33, 0x66, 0x55}},
    {"INT64", 0, "1234605616436508552", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
    {"UINT64", 1, "1234605616436508552", {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
    {"INT64", 2, "1234605616436508552", {0x77, 0x88, 0x55, 0x66, 0x33, 0x44, 0x11, 0x22}},
    {"UINT64", 3, "18446744073709551615", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"INT64", 3, "1234605616436508552", {0x22, 0x11, 0x44, 0x33, 0x66, 0x55, 0x88, 0x77}},
    {"MOD32", 0, "183333", {0x00, 0x12, 0x0D, 0x05}},
    {"MOD32", 0, "-10005", {0xFF, 0xFF, 0xFF, 0xFB}},
    {"MOD48", 0, "100020003", {0x00, 0x01, 0x00, 0x02, 0x00, 0x03}},
    {"MOD64", 0, "1000200030004", {0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04}},
    {"MOD64", 2, "1000200030004", {0x00, 0x04, 0x00, 0x03, 0x00, 0x02, 0x00, 0x01}},
    {"MOD32", 1, "183333", {0x05, 0x0D, 0x12, 0x00}},
    {"FLOAT", 0, "12.5", {0x41, 0x48, 0x00, 0x00}},
    {"FLOAT", 2, "12.5", {0x00, 0x00, 0x41, 0x48}},
    {"FLOAT", 3, "-2", {0x00, 0xC0, 0x00, 0x00}},
};

TEST(ModbusSim, LaysOutEveryTypeInEveryRegisterOrder) {
  TempDir dir;
  std::string file = "# every layout, 4 registers apart\n";
  for (size_t i = 0; i < std::size(kLayouts); ++i) {
    const Layout& l = kLayouts[i];
    file += "1 holding " + std::to_string(4 * i) + " " + l.type + " " + std::to_string(l.order) + " " + l.value + "\n";
  }
  WriteFile(dir / "regs.txt", file);
  Simulator sim(dir / "regs.txt");
  ASSERT_NE(sim.FirstLine().find("serving 1 slave(s)"), std::string::npos);
  for (size_t i = 0; i < std::size(kLayouts); ++i) {
    const Layout& l = kLayouts[i];
    const uint8_t count = static_cast<uint8_t>(l.wire.size() / 2);
    const Bytes answer = sim.Ask({1, 3, 0, static_cast<uint8_t>(4 * i), 0, count});
    EXPECT_EQ(DataOf(answer), l.wire) << l.type << " order " << l.order << " value " << l.value;
  }
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(ModbusSim, AnswersEachSlaveFromItsOwnTablesAndIgnoresOthers) {
  TempDir dir;
  WriteFile(dir / "regs.txt",
            "1 holding 100 INT16 0 7\n"
            "2 holding 100 INT16 0 8\n"
            "2 input   5   UINT16 0 9   # input table only\n");
  Simulator sim(dir / "regs.txt");
  ASSERT_NE(sim.FirstLine().find("serving 2 slave(s)"), std::string::npos);
  EXPECT_EQ(sim.Ask({1, 3, 0, 100, 0, 1}), (Bytes{1, 3, 2, 0, 7, 0xF9, 0x86}));
  EXPECT_EQ(DataOf(sim.Ask({2, 3, 0, 100, 0, 1})), (Bytes{0, 8}));
  EXPECT_EQ(DataOf(sim.Ask({2, 4, 0, 5, 0, 1})), (Bytes{0, 9}));
  EXPECT_EQ(sim.Ask({3, 3, 0, 100, 0, 1}), Bytes{}) << "an absent slave stays silent";
  EXPECT_EQ(sim.Ask({1, 3, 0, 101, 0, 1}), (Bytes{1, 0x83, 2, 0xC0, 0xF1})) << "illegal data address";
  EXPECT_EQ(sim.Ask({1, 4, 0, 100, 0, 1}), (Bytes{1, 0x84, 2, 0xC2, 0xC1})) << "slave 1 has no input table";
  EXPECT_EQ(sim.AskRaw({1, 3, 0, 100, 0, 1, 0x00, 0x00}), Bytes{}) << "bad CRC";
  EXPECT_EQ(DataOf(sim.Ask({1, 3, 0, 100, 0, 1})), (Bytes{0, 7})) << "a bad frame leaves the line usable";
}

TEST(ModbusSim, WritesAreKeptAndReadBack) {
  TempDir dir;
  WriteFile(dir / "regs.txt", "4 holding 10 INT32 0 0\n");
  Simulator sim(dir / "regs.txt");
  ASSERT_FALSE(sim.FirstLine().empty());
  EXPECT_EQ(sim.Ask({4, 0x10, 0, 10, 0, 2, 4, 0x11, 0x22, 0x33, 0x44}).size(), 8u);
  EXPECT_EQ(DataOf(sim.Ask({4, 3, 0, 10, 0, 2})), (Bytes{0x11, 0x22, 0x33, 0x44}));
}

TEST(ModbusSim, ValuesWithAnIncrementMoveOncePerSecond) {
  TempDir dir;
  WriteFile(dir / "regs.txt", "1 input 0 UINT16 0 1000 5\n1 input 1 FLOAT 0 1.5 0.5\n");
  Simulator sim(dir / "regs.txt");
  ASSERT_FALSE(sim.FirstLine().empty());
  auto counter = [&] {
    const Bytes data = DataOf(sim.Ask({1, 4, 0, 0, 0, 1}));
    return data.size() == 2 ? data[0] << 8 | data[1] : -1;
  };
  const int first = counter();
  ASSERT_GE(first, 1000);
  EXPECT_EQ((first - 1000) % 5, 0);
  EXPECT_TRUE(WaitFor([&] { return counter() > first; }, std::chrono::seconds(4)));
  EXPECT_EQ((counter() - 1000) % 5, 0);
  const Bytes real = DataOf(sim.Ask({1, 4, 0, 1, 0, 2}));
  ASSERT_EQ(real.size(), 4u);
  const uint32_t bits = static_cast<uint32_t>(real[0]) << 24 | real[1] << 16 | real[2] << 8 | real[3];
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  const float steps = (value - 1.5f) / 0.5f;
  EXPECT_GE(steps, 1.0f) << value;
  EXPECT_EQ(steps, static_cast<float>(static_cast<int>(steps))) << value;
}

TEST(ModbusSim, RefusesABadRegisterFileWithItsLineNumber) {
  TempDir dir;
  WriteFile(dir / "regs.txt", "1 holding 0 INT16 0 1\n1 holding 1 INT24 0 1\n");
  Simulator sim(dir / "regs.txt");
  EXPECT_NE(sim.FirstLine().find("regs.txt:2: unknown type INT24"), std::string::npos);
  EXPECT_EQ(sim.ExitStatus(), 2);
}

}  // namespace

#else

TEST(ModbusSim, SkippedWithoutLibmodbus) { GTEST_SKIP() << "libmodbus not found: tools/modbus_sim was not built"; }

#endif
