#include "tests/exchange/script.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace exchange {

namespace {

// Longer phrases first: the verb of a line is the first one it starts with.
const char* const kVerbs[] = {
    "drop modbus line", "restore modbus line", "hang up mbus line", "reconnect master", "resources steady",
    "fifo reader", "holds", "second master from", "second master refused", "second master",
    "under valgrind", "valgrind clean", "no answer", "no trace", "trace off",
    "meters", "ini", "default", "hardware", "mbus", "modbus", "file", "fifo", "symlink", "mkdir", "remove",
    "args", "quiet", "start", "master", "slave", "answer", "trace", "startup", "stdout", "exit", "pause",
    "repeat", "end", "pidfile", "resources",
};

std::vector<std::string> Split(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::string StripComment(const std::string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return line.substr(0, i);
  }
  return line;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool ReadStep(const std::string& path, int number, const std::string& line, Step& step) {
  step = Step{path, number, 0, "", {}, "", {}};
  for (const char* verb : kVerbs) {
    const std::string v = verb;
    if (line.compare(0, v.size(), v) == 0 && (line.size() == v.size() || line[v.size()] == ' ')) {
      step.verb = v;
      step.text = Trim(line.substr(v.size()));
      step.words = Split(step.text);
      return true;
    }
  }
  return false;
}

// Expands "repeat N" ... "end" from steps[at] on; at points behind the end.
bool Expand(const std::vector<Step>& steps, size_t& at, int depth, std::vector<Step>& out, std::string& error) {
  while (at < steps.size()) {
    const Step& step = steps[at++];
    if (step.verb == "end") {
      if (depth > 0) return true;
      error = step.file + ":" + std::to_string(step.line) + ": end without repeat";
      return false;
    }
    if (step.verb != "repeat") {
      out.push_back(step);
      continue;
    }
    const int count = step.words.empty() ? 0 : std::atoi(step.words[0].c_str());
    const size_t body = at;
    for (int i = 1; i <= count; ++i) {
      at = body;
      const size_t first = out.size();
      if (!Expand(steps, at, depth + 1, out, error)) return false;
      for (size_t k = first; k < out.size(); ++k) out[k].iteration = out[k].iteration == 0 ? i : out[k].iteration;
    }
    if (count <= 0) {
      std::vector<Step> skipped;
      if (!Expand(steps, at, depth + 1, skipped, error)) return false;
    }
  }
  if (depth == 0) return true;
  error = "repeat without end";
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool CheckMBus(const Tokens& tokens, const Bytes& b, std::string& error) {
  for (const Token& t : tokens) {
    if (t.kind == Token::kChecksum) return true;
  }
  char right[64] = "";
  if (b.size() == 5 && b[0] == 0x10 && (b[3] != MBusSum(b, 1, 3) || b[4] != 0x16)) {
    std::snprintf(right, sizeof right, "checksum %02X, stop byte 16", MBusSum(b, 1, 3));
  } else if (b.size() >= 6 && b[0] == 0x68 &&
             (b[1] != b.size() - 6 || b[2] != b[1] || b[3] != 0x68 || b[b.size() - 2] != MBusSum(b, 4, b.size() - 2) ||
              b.back() != 0x16)) {
    std::snprintf(right, sizeof right, "L %02X, checksum %02X", static_cast<unsigned>(b.size() - 6) & 0xFF,
                  MBusSum(b, 4, b.size() - 2));
  }
  if (right[0] == '\0') return true;
  error = std::string("the frame written in the file is not valid: it needs ") + right;
  return false;
}

bool CheckModbus(const Tokens& tokens, const Bytes& b, std::string& error) {
  for (const Token& t : tokens) {
    if (t.kind == Token::kCrc) return true;
  }
  if (b.size() < 3) return true;
  const uint16_t crc = ModbusCrc(b, b.size() - 2);
  if (b[b.size() - 2] == crc >> 8 && b.back() == (crc & 0xFF)) return true;
  char right[16];
  std::snprintf(right, sizeof right, "%02X %02X", crc >> 8, crc & 0xFF);
  error = std::string("the CRC written in the file is wrong: it is ") + right + " (or write CRC)";
  return false;
}

}  // namespace

bool ReadScript(const std::string& path, std::vector<Step>& steps, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = path + ": cannot be read";
    return false;
  }
  std::vector<Step> read;
  int number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    const std::string line = Trim(raw);
    if (!line.empty() && line[0] == '|') {
      if (read.empty()) {
        error = path + ":" + std::to_string(number) + ": a block line without a verb above it";
        return false;
      }
      read.back().block.push_back(line.size() > 1 && line[1] == ' ' ? line.substr(2) : line.substr(1));
      continue;
    }
    const std::string code = Trim(StripComment(line));
    if (code.empty()) continue;
    read.emplace_back();
    if (!ReadStep(path, number, code, read.back())) {
      error = path + ":" + std::to_string(number) + ": no such verb: " + code;
      return false;
    }
  }
  size_t at = 0;
  if (!Expand(read, at, 0, steps, error)) {
    if (error.find(':') == std::string::npos) error = path + ": " + error;
    return false;
  }
  return true;
}

bool ParseTokens(const std::vector<std::string>& words, size_t from, Tokens& tokens) {
  tokens.clear();
  for (size_t i = from; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "CS") {
      tokens.push_back({Token::kChecksum, 0});
    } else if (w == "CRC") {
      tokens.push_back({Token::kCrc, 0});
    } else if (w == "AN") {
      tokens.push_back({Token::kAccessAny, 0});
    } else if (w.rfind("AN+", 0) == 0 && w.size() > 3) {
      tokens.push_back({Token::kAccessNext, std::atoi(w.c_str() + 3)});
    } else if (w.size() == 2 && HexDigit(w[0]) >= 0 && HexDigit(w[1]) >= 0) {
      tokens.push_back({Token::kByte, HexDigit(w[0]) * 16 + HexDigit(w[1])});
    } else {
      return false;
    }
  }
  return true;
}

uint8_t MBusSum(const Bytes& bytes, size_t from, size_t to) {
  unsigned sum = 0;
  for (size_t i = from; i < to && i < bytes.size(); ++i) sum += bytes[i];
  return static_cast<uint8_t>(sum);
}

// Bit by bit (reflected polynomial A001h, start FFFFh): a different method
// from the gateway's table lookups, so that the two cannot share a mistake.
uint16_t ModbusCrc(const Bytes& bytes, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count && i < bytes.size(); ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return static_cast<uint16_t>(crc << 8 | crc >> 8);  // the low byte goes first on the wire
}

bool Resolve(const Tokens& tokens, Check check, Bytes& bytes, std::string& error) {
  bytes.clear();
  for (const Token& t : tokens) {
    if (t.kind == Token::kByte) {
      bytes.push_back(static_cast<uint8_t>(t.value));
    } else if (t.kind == Token::kChecksum) {
      bytes.push_back(MBusSum(bytes, !bytes.empty() && bytes[0] == 0x68 ? 4 : 1, bytes.size()));
    } else if (t.kind == Token::kCrc) {
      const uint16_t crc = ModbusCrc(bytes, bytes.size());
      bytes.push_back(static_cast<uint8_t>(crc >> 8));
      bytes.push_back(static_cast<uint8_t>(crc));
    } else {
      error = "AN stands only in answers";
      return false;
    }
  }
  if (check == Check::kMBus) return CheckMBus(tokens, bytes, error);
  if (check == Check::kModbus) return CheckModbus(tokens, bytes, error);
  return true;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    text += (text.empty() ? "" : " ") + std::string(pair);
  }
  return text.empty() ? "(nothing)" : text;
}

}  // namespace exchange
