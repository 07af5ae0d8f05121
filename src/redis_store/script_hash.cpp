#include "redis_store/script_hash.hpp"

#include <array>
#include <bit>
#include <cstdint>

namespace quellgate::redis_store {

namespace {

void compress(std::array<std::uint32_t, 5>& state, const unsigned char* block) {
  std::array<std::uint32_t, 80> w{};
  for (int i = 0; i < 16; ++i)
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
           std::uint32_t{block[4 * i + 2]} << 8 | std::uint32_t{block[4 * i + 3]};
  for (int i = 16; i < 80; ++i) w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  auto [a, b, c, d, e] = state;
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
    else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
    else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
    else f = b ^ c ^ d, k = 0xCA62C1D6;
    const std::uint32_t next = std::rotl(a, 5) + f + e + k + w[i];
    e = d, d = c, c = std::rotl(b, 30), b = a, a = next;
  }
  state[0] += a, state[1] += b, state[2] += c, state[3] += d, state[4] += e;
}

}  // namespace

std::string sha1_hex(std::string_view text) {
  std::array<std::uint32_t, 5> state{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::string padded(text);
  padded += '\x80';
  while (padded.size() % 64 != 56) padded += '\0';
  const std::uint64_t bits = std::uint64_t{text.size()} * 8;
  for (int shift = 56; shift >= 0; shift -= 8) padded += static_cast<char>(bits >> shift);
  for (std::size_t at = 0; at < padded.size(); at += 64)
    compress(state, reinterpret_cast<const unsigned char*>(padded.data() + at));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint32_t word : state)
    for (int shift = 28; shift >= 0; shift -= 4) hex += kHex[(word >> shift) & 0xF];
  return hex;
}

const std::string& script_sha(ScriptId script) {
  // Computed once, on first use; a function-local static is thread-safe.
  static const std::array<std::string, kScriptCount> shas = [] {
    std::array<std::string, kScriptCount> all;
    for (std::size_t s = 0; s < kScriptCount; ++s) all[s] = sha1_hex(script_text(static_cast<ScriptId>(s)));
    return all;
  }();
  return shas[static_cast<std::size_t>(script)];
}

}  // namespace quellgate::redis_store
