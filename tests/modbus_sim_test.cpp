// The Modbus slave simulator of tools/modbus_sim (the peer tests' slave),
// driven over a real pty with byte-exact requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "modbus/crc.h"
#include "tests/port_test_util.h"

using namespace kestrel;

#ifdef MODBUS_SIM_BINARY

namespace {

using Bytes = std::vector<uint8_t>;

// The simulator on the slave end of a pty; its output goes to a pipe.
class Simulator {
 public:
  explicit Simulator(const std::string& registers) {
    testutil::WriteFile(dir_ / "regs.txt", registers);
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      execl(MODBUS_SIM_BINARY, MODBUS_SIM_BINARY, pty_.slavePath.c_str(), (dir_ / "regs.txt").c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    output_ = out[0];
  }
  ~Simulator() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }
  std::string FirstLine() {
    std::string line;
    for (char c; read(output_, &c, 1) == 1 && c != '\n';) line += c;
    return line;
  }
  // The request with its CRC; the answer ends with a short pause, or never came.
  Bytes Ask(Bytes request, bool withCrc = true) {
    if (withCrc) {
      request.resize(request.size() + 2);
      AppendModbusCrc(request.data(), static_cast<uint32_t>(request.size() - 2));
    }
    pty_.Send(std::string(request.begin(), request.end()));
    Bytes answer;
    pollfd wait = {pty_.master, POLLIN, 0};
    for (int quietMs = 300; poll(&wait, 1, quietMs) > 0; quietMs = 50) {
      uint8_t chunk[256];
      const ssize_t n = read(pty_.master, chunk, sizeof chunk);
      if (n <= 0) break;
      answer.insert(answer.end(), chunk, chunk + n);
    }
    return answer;
  }
  Bytes Data(const Bytes& request) {  // a read answer's register bytes
    const Bytes answer = Ask(request);
    return answer.size() < 5 ? Bytes{} : Bytes(answer.begin() + 3, answer.end() - 2);
  }
  int ExitStatus() {
    int status = 0;
    testutil::WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(3));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  testutil::TempDir dir_;
  porttest::Pty pty_;
  int output_ = -1;
  pid_t pid_ = -1;
};

// The layouts of every type under every order, both tables, absent slaves
// and writes are what the peer tests read through the gateway; here is the
// rest: exception answers, a request with a bad CRC, a moving value.
TEST(ModbusSim, AnswersExceptionsIgnoresBadCrcsAndMovesIncrementedValues) {
  Simulator sim("1 holding 100 INT16 0 7\n2 input 0 UINT16 0 1000 5   # moves by 5 a second\n");
  ASSERT_NE(sim.FirstLine().find("serving 2 slave(s)"), std::string::npos);
  EXPECT_EQ(sim.Ask({1, 3, 0, 100, 0, 1}), (Bytes{1, 3, 2, 0, 7, 0xF9, 0x86}));
  EXPECT_EQ(sim.Ask({1, 3, 0, 101, 0, 1}), (Bytes{1, 0x83, 2, 0xC0, 0xF1})) << "illegal data address";
  EXPECT_EQ(sim.Ask({1, 4, 0, 100, 0, 1}), (Bytes{1, 0x84, 2, 0xC2, 0xC1})) << "no input table";
  EXPECT_EQ(sim.Ask({1, 3, 0, 100, 0, 1, 0, 0}, false), Bytes{}) << "bad CRC";
  const auto counter = [&] {
    const Bytes data = sim.Data({2, 4, 0, 0, 0, 1});
    return data.size() == 2 ? data[0] << 8 | data[1] : -1;
  };
  const int first = counter();
  EXPECT_EQ((first - 1000) % 5, 0);
  EXPECT_TRUE(testutil::WaitFor([&] { return counter() > first; }, std::chrono::seconds(4)));
}

TEST(ModbusSim, RefusesABadRegisterFileWithItsLineNumber) {
  Simulator sim("1 holding 0 INT16 0 1\n1 holding 1 INT24 0 1\n");
  EXPECT_NE(sim.FirstLine().find("regs.txt:2: unknown type INT24"), std::string::npos);
  EXPECT_EQ(sim.ExitStatus(), 2);
}

}  // namespace

#else

TEST(ModbusSim, SkippedWithoutLibmodbus) { GTEST_SKIP() << "libmodbus not found: tools/modbus_sim was not built"; }

#endif
