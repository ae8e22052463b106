// Plays one exchange file against the real gateway binary: writes its
// configuration into a fresh root, runs kestrel there with the Modbus side on
// a pty (or loopback TCP) and the M-Bus side on loopback TCP, UDP or a pty,
// and walks through the file: what the master sends, every Modbus request
// the gateway must make and what the slave answers, what the master gets
// back, and the lines the logs must hold.
//   exchange_runner KESTREL FIXTURES FILE     exit 0 passed, 1 failed, 77 skipped
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/exchange/script.h"

namespace exchange {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr Ms kDeadline{10000};  // only a failure waits this long
constexpr int kSkipped = 77;

struct Fail {
  std::string message;
};
struct Skip {
  std::string reason;
};

// "" for anything but a regular file: reading a FIFO would block.
std::string ReadText(const std::string& path) {
  std::error_code ignored;
  if (!fs::is_regular_file(path, ignored)) return "";
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

template <typename Condition>
bool WaitFor(Condition condition, Ms deadline = kDeadline) {
  const auto end = Clock::now() + deadline;
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(Ms(2));
  }
  return true;
}

// Both ends raw, parity N: the gateway opens the device path, the runner
// talks on master and keeps slave open so the line survives a reopening.
struct Pty {
  Pty() {
    char name[64];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw Fail{"openpty failed"};
    path = name;
    for (int fd : {master, slave}) {
      termios t{};
      tcgetattr(fd, &t);
      cfmakeraw(&t);
      t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
      t.c_cc[VMIN] = 0;
      t.c_cc[VTIME] = 0;
      tcsetattr(fd, TCSANOW, &t);
    }
    fcntl(master, F_SETFL, O_NONBLOCK);
  }
  ~Pty() {
    close(master);
    close(slave);
  }
  int master = -1, slave = -1;
  std::string path;
};

sockaddr_in Loopback(const char* address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

int BoundSocket(int type, uint16_t* port) {
  const int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  const sockaddr_in any = Loopback("127.0.0.1", 0);
  if (s < 0 || bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) throw Fail{"no loopback socket"};
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
  *port = ntohs(bound.sin_port);
  return s;
}

uint16_t FreePort(int type) {
  uint16_t port = 0;
  close(BoundSocket(type, &port));
  return port;
}

// Appends whatever fd holds to into, waiting up to wait for the first byte.
bool ReadInto(int fd, Bytes& into, Ms wait) {
  pollfd p{fd, POLLIN, 0};
  if (fd < 0 || poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
  uint8_t chunk[2048];
  const ssize_t n = read(fd, chunk, sizeof chunk);
  if (n <= 0) return false;
  into.insert(into.end(), chunk, chunk + n);
  return true;
}

// Length of the M-Bus frame at the start of bytes, 0 while it is incomplete;
// bytes that begin no frame are taken as they are.
size_t FrameLength(const Bytes& b) {
  if (b.empty()) return 0;
  if (b[0] == 0xE5) return 1;
  if (b[0] == 0x10) return b.size() >= 5 ? 5 : 0;
  if (b[0] == 0x68) return b.size() >= 2 && b.size() >= b[1] + 6u ? b[1] + 6u : 0;
  return b.size();
}

class Run {
 public:
  Run(std::string binary, std::string fixtures) : binary_(std::move(binary)), fixtures_(std::move(fixtures)) {
    char pattern[] = "/tmp/kestrel-exchange-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw Fail{"mkdtemp failed"};
    root_ = pattern;
    fs::create_directories(root_ + "/tmp");
    SetIni(main_, "Main", "FILENAME", "meters.xml");
    SetIni(main_, "Main", "enable_leds", "no");
    SetIni(defaults_, "Main", "enable_leds", "no");
  }
  ~Run() {
    Stop(SIGKILL);
    modbusPty_.reset();
    mbusPty_.reset();
    for (int fd : {modbusListen_, modbusConnection_, masterSocket_, secondMaster_}) {
      if (fd >= 0) close(fd);
    }
    for (const auto& reader : fifoReaders_) close(reader.second);
    std::error_code ignored;
    if (getenv("KESTREL_KEEP_ROOT") == nullptr) fs::remove_all(root_, ignored);
  }

  void Play(const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      at_ = &steps[i];
      const std::string& verb = steps[i].verb;
      if (!started_ && !IsSetting(steps[i])) Start();
      if (verb == "trace" || verb == "startup" || verb == "stdout") {
        std::vector<std::string> block;
        size_t k = i;
        for (; k < steps.size() && steps[k].verb == verb && steps[k].iteration == steps[i].iteration; ++k) {
          block.push_back(Substitute(steps[k].text));
        }
        if (verb == "trace") ExpectTrace(block);
        if (verb == "startup") ExpectLog("StartupLog", root_ + "/tmp/kestrel_startup.log", block);
        if (verb == "stdout") ExpectStdout(block);
        i = k - 1;
        continue;
      }
      Do(steps[i]);
    }
    if (!started_) Start();
    at_ = nullptr;
    Finish();
  }

  std::string Context() const {
    std::string context = "\n--- the gateway's trace (last lines)\n";
    const std::vector<std::string> trace = Lines(ReadText(root_ + "/tmp/kestrel.log"));
    for (size_t i = trace.size() > 40 ? trace.size() - 40 : 0; i < trace.size(); ++i) context += trace[i] + "\n";
    return context + "--- StartupLog\n" + ReadText(root_ + "/tmp/kestrel_startup.log");
  }
  const Step* at() const { return at_; }

 private:
  using Ini = std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

  // What a file says before the gateway starts; the first other verb starts it.
  static bool IsSetting(const Step& s) {
    static const char* const kSettings[] = {"meters", "ini", "default", "hardware", "trace off", "args",
                                            "quiet", "under valgrind", "file", "fifo", "symlink", "mkdir", "remove",
                                            "fifo reader"};
    if ((s.verb == "mbus" || s.verb == "modbus") && !s.words.empty() && s.words[0] == "on") return true;
    return std::find(std::begin(kSettings), std::end(kSettings), s.verb) != std::end(kSettings);
  }

  static void SetIni(Ini& ini, const std::string& section, const std::string& key, const std::string* value) {
    auto s = std::find_if(ini.begin(), ini.end(), [&](const auto& e) { return e.first == section; });
    if (s == ini.end()) s = ini.insert(ini.end(), {section, {}});
    auto k = std::find_if(s->second.begin(), s->second.end(), [&](const auto& e) { return e.first == key; });
    if (value == nullptr) {
      if (k != s->second.end()) s->second.erase(k);
    } else if (k == s->second.end()) {
      s->second.push_back({key, *value});
    } else {
      k->second = *value;
    }
  }
  static void SetIni(Ini& ini, const std::string& section, const std::string& key, const std::string& value) {
    SetIni(ini, section, key, &value);
  }
  static std::string IniText(const Ini& ini) {
    std::string text;
    for (const auto& [section, keys] : ini) {
      text += "[" + section + "]\n";
      for (const auto& [key, value] : keys) text += key + " = " + value + "\n";
    }
    return text;
  }

  // "SECTION KEY = VALUE" sets a key, "SECTION KEY" removes it.
  void IniLine(Ini& ini, const Step& step) {
    const size_t equals = step.text.find('=');
    if (step.words.size() < 2) Error("write SECTION KEY = VALUE");
    if (equals == std::string::npos) {
      SetIni(ini, step.words[0], step.words[1], nullptr);
      removed_[step.words[0] + ":" + step.words[1]] = 1;
      return;
    }
    const std::string value = step.text.substr(equals + 1);
    SetIni(ini, step.words[0], step.words[1], value.substr(value.find_first_not_of(' ') == std::string::npos
                                                                ? value.size()
                                                                : value.find_first_not_of(' ')));
  }

  [[noreturn]] void Error(const std::string& message) const { throw Fail{message}; }

  std::string Substitute(std::string text) const {
    const std::pair<const char*, std::string> vars[] = {
        {"$MODBUS_DEVICE", root_ + "/modbus-line"}, {"$MBUS_DEVICE", mbusPty_ ? mbusPty_->path : ""},
        {"$MBUS_PORT", std::to_string(mbusPort_)},   {"$MODBUS_PORT", std::to_string(modbusPort_)},
        {"$ROOT", root_},                            {"$BINARY", binary_}};
    for (const auto& [name, value] : vars) {
      for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size())) {
        text.replace(at, std::strlen(name), value);
      }
    }
    return text;
  }

  void Do(const Step& s) {
    const std::string& v = s.verb;
    const bool fileOp =
        v == "file" || v == "fifo" || v == "fifo reader" || v == "symlink" || v == "mkdir" || v == "remove";
    if (started_ && IsSetting(s) && !fileOp) Error("this belongs before the first exchange");
    if (v == "meters") {
      meters_ = s.block.empty() ? ReadText(fixtures_ + "/" + s.text) : Join(s.block);
      if (meters_.empty()) Error("no fixture " + s.text);
    } else if (v == "ini") {
      IniLine(main_, s);
    } else if (v == "default") {
      IniLine(defaults_, s);
    } else if (v == "hardware") {
      hardware_ += s.text + "\n";
    } else if ((v == "mbus" || v == "modbus") && IsSetting(s)) {
      (v == "mbus" ? mbusSide_ : modbusSide_) = s.words.size() > 1 ? s.words[1] : "";
    } else if (v == "trace off") {
      tracing_ = false;
    } else if (v == "args") {
      args_ = s.words;
      hasArgs_ = true;
    } else if (v == "quiet") {
      quiet_ = Ms(std::atoi(s.text.c_str()));
    } else if (v == "under valgrind") {
      if (getenv("KESTREL_SANITIZED") != nullptr) throw Skip{"valgrind cannot run a sanitizer build"};
      if (access("/usr/bin/valgrind", X_OK) != 0) throw Skip{"valgrind is not installed"};
      launcher_ = {"/usr/bin/valgrind", "--tool=memcheck", "--leak-check=full", "--log-file=" + root_ + "/memcheck.log"};
    } else if (fileOp) {
      if (started_) FileOp(s); else fileOps_.push_back(s);
    } else {
      Act(s);
    }
  }

  static std::string Join(const std::vector<std::string>& block) {
    std::string text;
    for (const std::string& line : block) text += line + "\n";
    return text;
  }

  void FileOp(const Step& s) {
    if (s.words.empty()) Error("which file?");
    const std::string path = root_ + "/" + s.words[0];
    fs::create_directories(fs::path(path).parent_path());
    std::error_code ignored;
    if (s.verb == "remove") {
      fs::remove_all(path, ignored);
    } else if (s.verb == "mkdir") {
      fs::create_directories(path);
    } else if (s.verb == "fifo") {
      mkfifo(path.c_str(), 0644);
    } else if (s.verb == "fifo reader") {
      // Held open, so that opening the FIFO for writing would not fail.
      mkfifo(path.c_str(), 0644);
      fifoReaders_[s.words[0]] = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } else if (s.verb == "symlink") {
      fs::remove(path, ignored);
      if (s.words.size() < 2 || symlink(Substitute(s.words[1]).c_str(), path.c_str()) != 0) Error("symlink PATH TARGET");
    } else {
      WriteText(path, FileContent(s));
    }
  }

  // The content a file or holds line gives: hex BYTES after the path, or
  // the | block.
  std::string FileContent(const Step& s) {
    if (s.words.size() < 2 || s.words[1] != "hex") return Substitute(Join(s.block));
    Tokens tokens;
    Bytes bytes;
    std::string error;
    if (!ParseTokens(s.words, 2, tokens) || !Resolve(tokens, Check::kNone, bytes, error)) Error("not hex bytes");
    return std::string(bytes.begin(), bytes.end());
  }

  // holds PATH: the file holds exactly this now; for a FIFO given to "fifo
  // reader", what waits in it.
  void Holds(const Step& s) {
    if (s.words.empty()) Error("which file?");
    std::string held;
    const auto reader = fifoReaders_.find(s.words[0]);
    if (reader != fifoReaders_.end()) {
      Bytes bytes;
      while (ReadInto(reader->second, bytes, Ms(0))) {
      }
      held.assign(bytes.begin(), bytes.end());
    } else {
      held = ReadText(root_ + "/" + s.words[0]);
    }
    const std::string expected = FileContent(s);
    if (held != expected) Error(s.words[0] + " holds\n" + held + "\ninstead of\n" + expected);
  }

  void Start() {
    started_ = true;
    startTime_ = std::time(nullptr);
    std::string hardware = "[Main]\nLO = lo\nALL = all\n";
    if (modbusSide_ == "pty") {
      PlugModbusLine();
      SetSection("ModbusPort", "porttype = SER|sercomport = RS485|serbaudrate = 9600|serbits = 8|serparity = N|serstopbit = 1");
      hardware += "RS485 = " + root_ + "/modbus-line\n";
    } else if (modbusSide_ == "tcp") {
      modbusListen_ = BoundSocket(SOCK_STREAM, &modbusPort_);
      listen(modbusListen_, 4);
      SetSection("ModbusPort", "porttype = TCP|localip = LO|remoteip = 127.0.0.1|remoteport = " +
                                   std::to_string(modbusPort_) + "|server = 0");
    }
    if (mbusSide_ == "pty") {
      mbusPty_ = std::make_unique<Pty>();
      SetSection("MBusPort", "porttype = SER|sercomport = RS232|serbaudrate = 2400|serbits = 8|serparity = N|serstopbit = 1");
      hardware += "RS232 = " + mbusPty_->path + "\n";
    } else if (mbusSide_ == "tcp" || mbusSide_ == "udp") {
      mbusPort_ = FreePort(mbusSide_ == "tcp" ? SOCK_STREAM : SOCK_DGRAM);
      SetSection("MBusPort", "porttype = " + std::string(mbusSide_ == "tcp" ? "TCP" : "UDP") +
                                 "|localip = LO|localport = " + std::to_string(mbusPort_) + "|server = 1");
    }
    SetIniDefault("ModbusPort", "timeout", "1000");
    SetIniDefault("MBusPort", "timeout", "2000");
    WriteText(root_ + "/config/kestrel.ini", Substitute(IniText(main_)));
    WriteText(root_ + "/config/corvid_hw.ini", hardware + Substitute(hardware_));
    WriteText(root_ + "/config/kestrel_default.ini", IniText(defaults_));
    if (!meters_.empty()) WriteText(root_ + "/config/meters.xml", meters_);
    if (tracing_) WriteText(root_ + "/tmp/kestrel.log", "");
    for (const Step& op : fileOps_) FileOp(op);
    Spawn();
    if (hasArgs_) return;
    // A PidFile the file replaced by something else is never written: then
    // the master connects as soon as the port listens.
    std::error_code ignored;
    const fs::file_type pid = fs::symlink_status(root_ + "/tmp/kestrel.pid", ignored).type();
    if (pid == fs::file_type::not_found || pid == fs::file_type::regular) {
      WaitFor([&] { return PidFileTime() >= startTime_ - 1 || !Running(); }, Ms(launcher_.empty() ? 10000 : 60000));
    }
    if (Running()) ConnectMaster();
  }

  // Section keys written "a = b|c = d", unless the file set them itself.
  void SetSection(const std::string& section, const std::string& keys) {
    std::istringstream in(keys);
    for (std::string pair; std::getline(in, pair, '|');) {
      const size_t equals = pair.find(" = ");
      SetIniDefault(section, pair.substr(0, equals), pair.substr(equals + 3));
    }
  }
  void SetIniDefault(const std::string& section, const std::string& key, const std::string& value) {
    if (removed_.count(section + ":" + key) != 0) return;
    for (const auto& [name, keys] : main_) {
      if (name != section) continue;
      for (const auto& entry : keys) {
        if (entry.first == key) return;
      }
    }
    SetIni(main_, section, key, value);
  }

  void PlugModbusLine() {
    modbusPty_ = std::make_unique<Pty>();
    const std::string link = root_ + "/modbus-line";
    // One rename, as udev replaces a /dev/serial/by-id link when an adapter returns.
    if (symlink(modbusPty_->path.c_str(), (link + ".new").c_str()) != 0 ||
        std::rename((link + ".new").c_str(), link.c_str()) != 0) {
      Error("cannot link the Modbus line");
    }
  }

  void Spawn() {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) Error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      setenv("KESTREL_ROOT", root_.c_str(), 1);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, STDIN_FILENO);
      dup2(hasArgs_ ? out[1] : null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      close_range(3, ~0U, 0);  // no pty end or socket of the runner's lives on in the gateway
      std::vector<std::string> argv = launcher_;
      argv.push_back(binary_);
      for (const std::string& a : args_) argv.push_back(a);
      std::vector<char*> pointers;
      for (std::string& a : argv) pointers.push_back(a.data());
      pointers.push_back(nullptr);
      execv(pointers[0], pointers.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
  }

  bool Running() {
    if (pid_ <= 0 || ended_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    ended_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }

  void Stop(int signal) {
    if (!Running()) return;
    kill(pid_, signal);
    WaitFor([&] { return !Running(); }, Ms(60000));
  }

  int64_t PidFileTime() const {
    const std::string pid = ReadText(root_ + "/tmp/kestrel.pid");
    int32_t stamp = 0;
    if (pid.size() >= sizeof stamp) std::memcpy(&stamp, pid.data(), sizeof stamp);
    return stamp;
  }

  void ConnectMaster() {
    if (mbusSide_ == "pty") {
      masterFd_ = mbusPty_->master;
      return;
    }
    if (mbusSide_ != "tcp" && mbusSide_ != "udp") return;
    const bool tcp = mbusSide_ == "tcp";
    const sockaddr_in gateway = Loopback("127.0.0.1", mbusPort_);
    const bool connected = WaitFor([&] {
      if (masterSocket_ >= 0) close(masterSocket_);
      masterSocket_ = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
      return connect(masterSocket_, reinterpret_cast<const sockaddr*>(&gateway), sizeof gateway) == 0;
    });
    if (!connected) Error("the M-Bus master cannot connect to port " + std::to_string(mbusPort_));
    masterFd_ = masterSocket_;
  }

  int ModbusFd() const { return modbusPty_ ? modbusPty_->master : modbusConnection_; }

  // Takes in what the gateway sent on the Modbus side (a newer TCP
  // connection replaces the current one).
  void PumpModbus(Ms wait) {
    if (modbusListen_ >= 0) {
      pollfd p{modbusListen_, POLLIN, 0};
      if (poll(&p, 1, 0) == 1) {
        if (modbusConnection_ >= 0) close(modbusConnection_);
        modbusConnection_ = accept4(modbusListen_, nullptr, nullptr, SOCK_CLOEXEC);
        modbusIn_.clear();
      }
    }
    ReadInto(ModbusFd(), modbusIn_, wait);
  }

  Bytes Tokenised(const Step& s, size_t from, Check check) {
    Tokens tokens;
    Bytes bytes;
    std::string error;
    if (!ParseTokens(s.words, from, tokens)) Error("not a byte: " + s.text);
    if (!Resolve(tokens, check, bytes, error)) Error(error);
    return bytes;
  }

  void ExpectNoStrayModbus() {
    PumpModbus(Ms(0));
    if (!modbusIn_.empty()) Error("the gateway sent a Modbus request the file does not expect: " + Hex(modbusIn_));
  }

  void Act(const Step& s) {
    const std::string& v = s.verb;
    if (v == "start") {
      // Start() has run.
    } else if (v == "master") {
      ExpectNoStrayModbus();
      ReadInto(masterFd_, masterIn_, Ms(0));
      if (!masterIn_.empty()) Error("before this the gateway sent " + Hex(masterIn_) + ", which nobody asked for");
      const Bytes bytes = Tokenised(s, 0, Check::kNone);
      sentAt_ = Clock::now();
      if (masterFd_ < 0 || write(masterFd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        Error("the master could not send " + Hex(bytes));
      }
    } else if (v == "modbus") {
      const Bytes expected = Tokenised(s, 0, Check::kModbus);
      WaitFor([&] {
        PumpModbus(Ms(5));
        return modbusIn_.size() >= expected.size();
      });
      const Bytes got(modbusIn_.begin(), modbusIn_.begin() + std::min(modbusIn_.size(), expected.size()));
      modbusIn_.erase(modbusIn_.begin(), modbusIn_.begin() + static_cast<long>(got.size()));
      requestAt_ = Clock::now();
      if (got != expected) Error("Modbus request\n  expected " + Hex(expected) + "\n  received " + Hex(got));
    } else if (v == "slave") {
      Slave(s);
    } else if (v == "answer") {
      Answer(s);
    } else if (v == "no answer") {
      ReadInto(masterFd_, masterIn_, quiet_);
      if (!masterIn_.empty()) Error("no answer expected, the master received " + Hex(masterIn_));
      ExpectNoStrayModbus();
    } else if (v == "no trace") {
      const std::vector<std::string> trace = TraceLines();
      for (size_t i = traceCursor_; i < trace.size(); ++i) {
        if (trace[i] == Substitute(s.text)) Error("the trace holds \"" + s.text + "\"");
      }
    } else if (v == "exit") {
      if (!WaitFor([&] { return !Running(); }, Ms(20000))) Error("the gateway is still running");
      if (status_ != std::atoi(s.text.c_str())) Error("exit status " + std::to_string(status_));
    } else if (v.rfind("second master", 0) == 0) {
      SecondMaster(s);
    } else if (v == "holds") {
      Holds(s);
    } else if (v == "pause") {
      std::this_thread::sleep_for(Ms(std::atoi(s.text.c_str())));
    } else if (v == "pidfile") {
      const Bytes tail = Tokenised(s, 0, Check::kNone);
      if (!WaitFor([&] { return PidFileTime() >= startTime_ - 1; })) Error("the PidFile holds no time of this run");
      const std::string pid = ReadText(root_ + "/tmp/kestrel.pid");
      if (PidFileTime() > std::time(nullptr) + 1 || Bytes(pid.begin() + 4, pid.end()) != tail) {
        Error("the PidFile holds " + Hex(Bytes(pid.begin(), pid.end())));
      }
    } else if (v == "resources" || v == "resources steady") {
      Resources(v == "resources steady");
    } else if (v == "drop modbus line") {
      unlink((root_ + "/modbus-line").c_str());  // first, so that no other pty is ever behind it
      modbusPty_.reset();
      modbusIn_.clear();
    } else if (v == "restore modbus line") {
      PlugModbusLine();
    } else if (v == "hang up mbus line") {
      if (ioctl(mbusPty_->slave, TIOCVHANGUP) != 0) throw Skip{"this machine does not let the runner hang up a pty"};
    } else if (v == "reconnect master") {
      ConnectMaster();
      masterIn_.clear();
    } else if (v == "valgrind clean") {
      Stop(SIGTERM);
      const std::string report = ReadText(root_ + "/memcheck.log");
      if (report.find("ERROR SUMMARY: 0 errors") == std::string::npos ||
          (report.find("definitely lost: 0 bytes") == std::string::npos &&
           report.find("no leaks are possible") == std::string::npos)) {
        Error("memcheck found errors or leaks:\n" + report);
      }
    } else {
      Error("\"" + v + "\" does not belong here");
    }
  }

  // second master from ADDRESS: another master on the M-Bus side (TCP or
  // UDP), bound to that loopback address; second master BYTES: it sends;
  // second master refused: the gateway closes its connection (TCP) or
  // sends it nothing for the quiet period (UDP).
  void SecondMaster(const Step& s) {
    const bool tcp = mbusSide_ == "tcp";
    if (s.verb == "second master from") {
      if (secondMaster_ >= 0) close(secondMaster_);
      secondMaster_ = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
      const sockaddr_in from = Loopback(s.text.c_str(), 0);
      const sockaddr_in gateway = Loopback("127.0.0.1", mbusPort_);
      if (bind(secondMaster_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
          connect(secondMaster_, reinterpret_cast<const sockaddr*>(&gateway), sizeof gateway) != 0) {
        Error("the second master cannot connect from " + s.text);
      }
    } else if (s.verb == "second master refused") {
      Bytes got;
      if (!tcp) {
        if (ReadInto(secondMaster_, got, quiet_)) Error("the second master received " + Hex(got));
        return;
      }
      pollfd p{secondMaster_, POLLIN, 0};
      uint8_t byte = 0;
      if (poll(&p, 1, static_cast<int>(kDeadline.count())) != 1 || recv(secondMaster_, &byte, 1, 0) > 0) {
        Error("the gateway did not close the second master's connection");
      }
    } else {
      const Bytes bytes = Tokenised(s, 0, Check::kNone);
      if (send(secondMaster_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        Error("the second master could not send " + Hex(bytes));
      }
    }
  }

  // slave [after MS] [raw] BYTES: what the slave sends, MS after the last
  // request arrived; raw bytes are sent even with a wrong CRC.
  void Slave(const Step& s) {
    size_t from = 0;
    Ms delay{0};
    if (s.words.size() > 1 && s.words[0] == "after") {
      delay = Ms(std::atoi(s.words[1].c_str()));
      from = 2;
    }
    const bool raw = from < s.words.size() && s.words[from] == "raw";
    if (s.words.size() == 1 && s.words[0] == "silent") return;  // says so, sends nothing
    const Bytes bytes = Tokenised(s, from + (raw ? 1 : 0), raw ? Check::kNone : Check::kModbus);
    std::this_thread::sleep_until(requestAt_ + delay);
    if (ModbusFd() < 0 || write(ModbusFd(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      Error("the slave could not send " + Hex(bytes));
    }
  }

  // answer BYTES [within MS]
  void Answer(const Step& s) {
    Tokens tokens;
    size_t end = s.words.size();
    Ms deadline = kDeadline;
    if (end >= 2 && s.words[end - 2] == "within") {
      deadline = Ms(std::atoi(s.words[end - 1].c_str()));
      end -= 2;
    }
    if (!ParseTokens(std::vector<std::string>(s.words.begin(), s.words.begin() + static_cast<long>(end)), 0, tokens)) {
      Error("not a byte: " + s.text);
    }
    const auto until = sentAt_ + deadline;
    while (FrameLength(masterIn_) == 0 && Clock::now() < until) {
      ReadInto(masterFd_, masterIn_, std::chrono::duration_cast<Ms>(until - Clock::now()));
    }
    if (!masterIn_.empty() && masterIn_[0] != 0xE5 && masterIn_[0] != 0x10 && masterIn_[0] != 0x68) {
      ReadInto(masterFd_, masterIn_, Ms(50));
    }
    size_t length = FrameLength(masterIn_);
    if (length == 0) length = masterIn_.size();
    const Bytes got(masterIn_.begin(), masterIn_.begin() + static_cast<long>(length));
    masterIn_.erase(masterIn_.begin(), masterIn_.begin() + static_cast<long>(length));
    // The access number: bound from the answer (AN) or counted on (AN+k),
    // per meter (its A field and identification number).
    Tokens resolved;
    std::string key;
    for (size_t i = 0; i < tokens.size(); ++i) {
      Token t = tokens[i];
      if (t.kind == Token::kAccessAny || t.kind == Token::kAccessNext) {
        for (size_t k = 5; k < 11 && k < resolved.size(); ++k) key += std::to_string(resolved[k].value) + ".";
        const int value = t.kind == Token::kAccessAny ? (i < got.size() ? got[i] : 0) : access_[key] + t.value;
        t = {Token::kByte, value & 0xFF};
        access_[key] = t.value;
      }
      resolved.push_back(t);
    }
    Bytes expected;
    std::string error;
    if (!Resolve(resolved, Check::kMBus, expected, error)) Error(error);
    if (got != expected) Error("answer\n  expected " + Hex(expected) + "\n  received " + Hex(got));
    ExpectNoStrayModbus();
  }

  std::vector<std::string> TraceLines() const {
    std::vector<std::string> lines;
    for (std::string line : Lines(ReadText(root_ + "/tmp/kestrel.log"))) {
      line = line.size() > 14 ? line.substr(14) : "";  // the time stamp, or the dump's indentation
      line.erase(line.find_last_not_of(' ') + 1);
      if (!line.empty()) lines.push_back(line);
    }
    return lines;
  }

  // The lines must stand one after another in the trace, after the lines
  // matched last.
  void ExpectTrace(const std::vector<std::string>& block) {
    std::vector<std::string> trace;
    const bool found = WaitFor([&] {
      trace = TraceLines();
      if (trace.size() < traceCursor_) traceCursor_ = 0;  // switched on again: a new file
      for (size_t i = traceCursor_; i + block.size() <= trace.size(); ++i) {
        if (std::equal(block.begin(), block.end(), trace.begin() + static_cast<long>(i))) {
          traceCursor_ = i + block.size();
          return true;
        }
      }
      return false;
    });
    if (!found) Error("the trace does not hold, after what was matched before:\n  " + Join(block));
  }

  // The whole log, line for line; "..." stands for any number of lines.
  void ExpectLog(const std::string& name, const std::string& path, const std::vector<std::string>& block) {
    std::vector<std::string> log;
    const auto matches = [&] {
      log = Lines(ReadText(path));
      return Matches(block, 0, log, 0);
    };
    if (!WaitFor(matches, Ms(2000))) Error(name + " differs; expected:\n" + Join(block) + "holds:\n" + Join(log));
  }
  static bool Matches(const std::vector<std::string>& want, size_t w, const std::vector<std::string>& have, size_t h) {
    if (w == want.size()) return h == have.size();
    if (want[w] == "...") {
      for (size_t skip = h; skip <= have.size(); ++skip) {
        if (Matches(want, w + 1, have, skip)) return true;
      }
      return false;
    }
    return h < have.size() && have[h] == want[w] && Matches(want, w + 1, have, h + 1);
  }

  void ExpectStdout(const std::vector<std::string>& block) {
    if (!WaitFor([&] { return !Running(); }, Ms(20000))) Error("the gateway is still running");
    Bytes out;
    while (ReadInto(stdout_, out, Ms(0))) {
    }
    const std::vector<std::string> lines = Lines(std::string(out.begin(), out.end()));
    if (!Matches(block, 0, lines, 0)) Error("standard output differs; it holds:\n" + std::string(out.begin(), out.end()));
  }

  void Resources(bool steady) {
    const std::string proc = "/proc/" + std::to_string(pid_);
    long rss = 0;
    for (const std::string& line : Lines(ReadText(proc + "/status"))) {
      if (line.rfind("VmRSS:", 0) == 0) rss = std::atol(line.c_str() + 6);
    }
    long descriptors = 0;
    for (auto it = fs::directory_iterator(proc + "/fd"); it != fs::directory_iterator(); ++it) ++descriptors;
    if (!steady) {
      rss_ = rss;
      descriptors_ = descriptors;
      return;
    }
    std::printf("resources: resident memory grew %ld KiB, %ld descriptors (%ld before)\n", rss - rss_, descriptors,
                descriptors_);
    if (descriptors != descriptors_) Error("the descriptor count changed");
    // The sanitizers' quarantine keeps freed memory resident.
    if (getenv("KESTREL_SANITIZED") == nullptr && rss - rss_ >= 64) Error("resident memory grew");
  }

  void Finish() {
    if (hasArgs_ || ended_) return;
    if (!Running()) Error("the gateway ended with status " + std::to_string(status_));
    ReadInto(masterFd_, masterIn_, quiet_);
    if (!masterIn_.empty()) Error("at the end the gateway sent " + Hex(masterIn_) + ", which nobody asked for");
    ExpectNoStrayModbus();
  }

  std::string binary_, fixtures_, root_;
  Ini main_, defaults_;
  std::string hardware_, meters_;
  std::map<std::string, int> removed_;
  std::vector<Step> fileOps_;
  std::string modbusSide_ = "pty", mbusSide_ = "tcp";
  bool tracing_ = true, hasArgs_ = false, started_ = false, ended_ = false;
  std::vector<std::string> args_, launcher_;
  Ms quiet_{150};
  time_t startTime_ = 0;
  pid_t pid_ = -1;
  int status_ = -1, stdout_ = -1;
  std::unique_ptr<Pty> modbusPty_, mbusPty_;
  int modbusListen_ = -1, modbusConnection_ = -1, masterSocket_ = -1, masterFd_ = -1, secondMaster_ = -1;
  uint16_t modbusPort_ = 0, mbusPort_ = 0;
  Bytes modbusIn_, masterIn_;
  Clock::time_point sentAt_ = Clock::now(), requestAt_ = Clock::now();
  std::map<std::string, int> access_;
  std::map<std::string, int> fifoReaders_;  // path below the root -> read end
  size_t traceCursor_ = 0;
  long rss_ = 0, descriptors_ = 0;
  const Step* at_ = nullptr;
};

}  // namespace
}  // namespace exchange

int main(int argc, char** argv) {
  using namespace exchange;
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s KESTREL FIXTURES FILE\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  std::vector<Step> steps;
  std::string error;
  if (!ReadScript(argv[3], steps, error)) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  Run run(argv[1], argv[2]);
  try {
    run.Play(steps);
  } catch (const Skip& skip) {
    std::printf("skipped: %s\n", skip.reason.c_str());
    return kSkipped;
  } catch (const Fail& failure) {
    const Step* at = run.at();
    if (at != nullptr) {
      std::printf("%s:%d: %s%s: ", at->file.c_str(), at->line, at->verb.c_str(),
                  at->iteration > 0 ? (" (repeat " + std::to_string(at->iteration) + ")").c_str() : "");
    } else {
      std::printf("%s: ", argv[3]);
    }
    std::printf("%s\n%s", failure.message.c_str(), run.Context().c_str());
    return 1;
  }
  std::printf("%s: %zu steps passed\n", argv[3], steps.size());
  return 0;
}
