#include "shared_memory/segment_header.hpp"

#include <algorithm>

namespace quellgate::shared_memory {

std::expected<SharedConfig, std::string> read_header(const layout::Header& header, std::uint64_t size) {
  if (header.magic != layout::magic) return std::unexpected("its magic number is wrong");
  if (header.max_keys > layout::max_key_entries) return std::unexpected("its header states too many keys");
  const std::uint64_t expected = layout::size_for(header.max_keys);
  if (header.version != layout::version || header.total_size != size || size != expected ||
      header.slot_count != layout::slot_count) {
    return std::unexpected("its header states layout version " + std::to_string(header.version) + " and " +
                           std::to_string(header.total_size) + " bytes, expected version " +
                           std::to_string(layout::version) + " and " + std::to_string(expected));
  }
  if (header.window_count > layout::max_windows) return std::unexpected("its header states too many windows");
  SharedConfig config;
  config.window_count = header.window_count;
  config.max_burst = header.max_burst;
  config.max_keys = header.max_keys;
  for (std::size_t i = 0; i < config.window_count; ++i) {
    config.windows[i] = WindowSpec{header.window_length[i], header.window_limit[i]};
    if (config.windows[i].length_seconds == 0 || config.windows[i].limit == 0) {
      return std::unexpected("its header states a window of length or limit 0");
    }
  }
  return config;
}

void write_header(layout::Header& header, const SharedConfig& config) noexcept {
  header.magic = layout::magic;
  header.version = layout::version;
  header.slot_count = layout::slot_count;
  header.total_size = layout::size_for(config.max_keys);
  header.max_keys = config.max_keys;
  header.window_count = config.active().size();
  for (std::size_t i = 0; i < config.active().size(); ++i) {
    header.window_length[i] = config.windows[i].length_seconds;
    header.window_limit[i] = config.windows[i].limit;
  }
  header.max_burst = config.max_burst;
}

bool valid_config(const SharedConfig& config) noexcept {
  return config.window_count <= layout::max_windows && config.max_keys <= layout::max_key_entries &&
         std::ranges::none_of(config.active(), [](const WindowSpec& w) { return w.length_seconds == 0 || w.limit == 0; });
}

std::optional<std::string> wrong_size(std::uint64_t size) {
  if (size >= smallest_segment && size <= largest_segment) return std::nullopt;
  return std::string(size < smallest_segment ? "it is truncated: " : "it has ") + std::to_string(size) +
         " bytes, a segment has at least " + std::to_string(smallest_segment);
}

}  // namespace quellgate::shared_memory
