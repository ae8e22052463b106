#include "ports/allow_list.h"

#include <arpa/inet.h>

namespace kestrel {
namespace {

constexpr unsigned kMaxOctet = 255;
constexpr unsigned kAddressBits = 32;
constexpr int kOctets = 4;
constexpr int kMaxDigits = 3;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of at most three digits, no greater than limit.
bool ReadNumber(const char*& p, unsigned limit, unsigned& value) {
  if (!IsDigit(*p)) return false;
  value = 0;
  for (int digits = 0; IsDigit(*p); ++p) {
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (++digits > kMaxDigits || value > limit) return false;
  }
  return true;
}

bool ParseEntry(const std::string& entry, AllowRange& range) {
  const char* p = entry.c_str();
  uint32_t address = 0;
  for (int octet = 0; octet < kOctets; ++octet) {
    if (octet > 0) {
      if (*p != '.') return false;
      ++p;
    }
    unsigned value = 0;
    if (!ReadNumber(p, kMaxOctet, value)) return false;
    address = address << 8 | value;
  }
  unsigned prefix = kAddressBits;
  if (*p == '/') {
    ++p;
    if (!ReadNumber(p, kAddressBits, prefix)) return false;
  }
  if (*p != '\0') return false;
  range.mask = prefix == 0 ? 0 : ~uint32_t{0} << (kAddressBits - prefix);
  range.network = address & range.mask;
  return true;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool ParseAllowList(const std::string& text, AllowList& list, std::string& badEntry) {
  list = AllowList{};
  list.restricted = true;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string entry = Trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (list.count == kMaxAllowEntries || !ParseEntry(entry, list.ranges[list.count])) {
      badEntry = entry;
      return false;
    }
    ++list.count;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool IsAllowed(const AllowList& list, const sockaddr_in& peer) {
  if (!list.restricted) return true;
  const uint32_t address = ntohl(peer.sin_addr.s_addr);
  for (int i = 0; i < list.count; ++i) {
    if ((address & list.ranges[i].mask) == list.ranges[i].network) return true;
  }
  return false;
}

DottedQuad Dotted(const sockaddr_in& address) {
  DottedQuad dotted{};
  if (inet_ntop(AF_INET, &address.sin_addr, dotted.text, sizeof dotted.text) == nullptr) dotted.text[0] = '\0';
  return dotted;
}

}  // namespace kestrel
