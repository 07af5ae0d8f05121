#pragma once
#include <cstddef>
#include <string_view>

namespace quellgate::redis_store {

// The server-side scripts. Each runs atomically on the server and reads the
// server's clock, so no client clock takes part in a decision.
enum class ScriptId : std::size_t { decide, renew, report, settle };
inline constexpr std::size_t kScriptCount = 4;

// decide: one admission of `cost` places in every window, all or nothing.
//   KEYS: config, leases, then one hash per window (fields i: window index, n: count)
//   ARGV: config text, lease ms, lease member ("" without max_burst),
//         max_burst (0: none), cost, then limit and length (s) of each window,
//         then lease members of this process to remove (unconfirmed ones)
//   reply: {1, us, index...}        admitted at the server's time us (microseconds
//                                   since the epoch), counted in these windows
//          {0, wait ms, index...}   a window is full; wait ms until the last full one rolls over
//          {-1, wait ms}            every burst permit is held; ms until the first lease expires
//          {-2, stored config}      the name holds another configuration
// renew: extends the given leases that are still live.
//   KEYS: leases, config    ARGV: lease ms, members...    reply: leases renewed
// report: reads what a decision would see, and writes nothing.
//   KEYS: config, leases, then the windows as for decide
//   ARGV: config text, then the length (s) of each window
//   reply: {-2, stored config}                  the name holds another configuration
//          {live leases, count, ms until rollover, count, ms...}
// settle: adds a delta to the windows an admission at a given second was
// counted in, those still current; never below 0, never refused.
//   KEYS: the windows as for decide
//   ARGV: the admission's second (server clock), delta, then the length (s) of each window
//   reply: how many windows took it
std::string_view script_text(ScriptId script) noexcept;

inline constexpr long long kAdmitted = 1;
inline constexpr long long kWindowFull = 0;
inline constexpr long long kBurstFull = -1;
inline constexpr long long kConfigMismatch = -2;

}  // namespace quellgate::redis_store
