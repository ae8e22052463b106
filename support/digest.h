#pragma once
// A 64-bit FNV-1a digest: enough to tell one definition or one file's
// contents from another, not a defence against anyone who wants a match.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

constexpr uint64_t kDigestStart = 0xCBF29CE484222325ull;

inline uint64_t Digest(const void* data, size_t length, uint64_t digest = kDigestStart) {
  constexpr uint64_t kPrime = 0x100000001B3ull;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) digest = (digest ^ bytes[i]) * kPrime;
  return digest;
}

inline uint64_t Digest(const std::string& text, uint64_t digest = kDigestStart) {
  // The terminating NUL too: "ab" + "c" and "a" + "bc" differ.
  return Digest(text.c_str(), text.size() + 1, digest);
}

}  // namespace kestrel
