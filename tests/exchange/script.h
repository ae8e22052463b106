#pragma once
// An exchange file read into steps. Each line is a verb and its words; lines
// that begin with "|" continue the block of the line above (a DeviceFile or
// any other file given inline); "#" after a blank starts a comment.
// "repeat N" ... "end" stands for N copies of the lines between.
// tests/exchanges/README.md describes every verb.
#include <cstdint>
#include <string>
#include <vector>

namespace exchange {

using Bytes = std::vector<uint8_t>;

// One byte of a frame as written in a file: a literal byte, or a byte the
// runner fills in itself: the M-Bus checksum (CS), the two bytes of the
// Modbus CRC (CRC), or the access number of the answering meter (AN: any,
// remembered; AN+k: k more than the one remembered last).
struct Token {
  enum Kind { kByte, kChecksum, kCrc, kAccessAny, kAccessNext } kind;
  int value;
};
using Tokens = std::vector<Token>;

struct Step {
  std::string file;
  int line = 0;
  int iteration = 0;  // 1-based copy number inside a repeat, 0 outside
  std::string verb;   // the first word, or two for "no answer", "no trace" ...
  std::vector<std::string> words;  // the rest, split at blanks
  std::string text;                // the rest as written
  std::vector<std::string> block;  // the "|" lines that follow
};

// false (with the reason in error) for a line no verb knows or a repeat
// without its end.
bool ReadScript(const std::string& path, std::vector<Step>& steps, std::string& error);

// "68 0B 0B 68 53 FD 52 ... CS 16" -> tokens; false for a word that is none.
bool ParseTokens(const std::vector<std::string>& words, size_t from, Tokens& tokens);

// The runner's own checksums, independent of the gateway's code.
uint8_t MBusSum(const Bytes& bytes, size_t from, size_t to);  // [from, to)
uint16_t ModbusCrc(const Bytes& bytes, size_t count);          // high byte: first on the wire

// Fills in CS and CRC tokens (AN tokens must already be bytes). With a check,
// a frame whose explicitly written lengths, checksum or CRC are wrong is a
// fault of the file: false, with the right bytes in error.
enum class Check { kNone, kMBus, kModbus };
bool Resolve(const Tokens& tokens, Check check, Bytes& bytes, std::string& error);

std::string Hex(const Bytes& bytes);

}  // namespace exchange
