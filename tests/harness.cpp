// Byte helpers, frame builders and the pseudo-terminal of the harness.
#include "tests/harness.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "modbus/crc.h"

namespace harness {

Bytes Hex(const std::string& text) {
  Bytes bytes;
  std::string digits;
  for (char ch : text) {
    if (std::isspace(static_cast<unsigned char>(ch))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(ch))) throw std::invalid_argument("not hex: " + text);
    digits += ch;
  }
  if (digits.size() % 2 != 0) throw std::invalid_argument("odd hex: " + text);
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string ToHex(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", byte);
    if (!text.empty()) text += ' ';
    text += pair;
  }
  return text;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

std::string TraceDump(const Bytes& bytes) {
  constexpr size_t kPerLine = 16;
  std::string text;
  char pair[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && i % kPerLine == 0) text += '\n';
    std::snprintf(pair, sizeof pair, "%02x ", bytes[i]);
    text += pair;
  }
  return text + "\n\n";
}

Bytes operator+(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

uint8_t MBusSum(const Bytes& bytes, size_t from, size_t count) {
  unsigned sum = 0;
  for (size_t i = from; i < from + count && i < bytes.size(); ++i) sum += bytes[i];
  return static_cast<uint8_t>(sum);
}

Bytes ReqUd2(uint8_t a, bool fcb) { return ShortFrame(fcb ? 0x7B : 0x5B, a); }
Bytes SndNke(uint8_t a) { return ShortFrame(0x40, a); }
Bytes Selection(const Bytes& pattern) { return LongFrame(0x53, 0xFD, 0x52, pattern); }
Bytes ApplicationReset(uint8_t a) { return LongFrame(0x53, a, 0x50, {}); }

Bytes SndUd(uint8_t a, uint8_t objectNumber, const Bytes& value) {
  return LongFrame(0x53, a, 0x51, Bytes{0x04, 0x13, objectNumber} + value);
}

Bytes RspUd(uint8_t a, uint32_t idNumber, uint8_t medium, uint8_t access, const Bytes& records,
            uint8_t status) {
  Bytes telegram{0x68, 0, 0, 0x68, 0x08, a, 0x72};
  for (int shift = 0; shift < 32; shift += 8) telegram.push_back(static_cast<uint8_t>(idNumber >> shift));
  telegram = telegram + Bytes{0x38, 0x6A, 0x10, medium, access, status, 0x00, 0x00} + records;
  const size_t length = telegram.size() - 4;
  telegram[1] = telegram[2] = static_cast<uint8_t>(length);
  telegram.push_back(MBusSum(telegram, 4, length));
  telegram.push_back(0x16);
  return telegram;
}

Bytes WithCrc(Bytes frame) {
  const uint16_t crc = ModbusCrc(frame.data(), static_cast<uint32_t>(frame.size()));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  frame.push_back(static_cast<uint8_t>(crc));
  return frame;
}

bool CrcIsValid(const Bytes& frame) {
  if (frame.size() < 3) return false;
  return WithCrc(Bytes(frame.begin(), frame.end() - 2)) == frame;
}

namespace {

void MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr failed");
}

}  // namespace

PtyPair::PtyPair() {
  MakeRaw(pty_.master);
  MakeRaw(pty_.slave);
}

bool PtyPair::HangUp() { return ioctl(pty_.slave, TIOCVHANGUP) == 0; }

}  // namespace harness
