#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "shared_memory/layout.hpp"
#include "shared_memory/segment.hpp"

namespace quellgate::shared_memory {

// The kernel objects beside a mapping on an OS whose lock and wakes cannot
// live in the segment's bytes (Windows: a named mutex and a named
// semaphore, as HANDLEs); null where they do (Linux). Owned by the Mapping.
struct KernelObjects {
  void* lock = nullptr;
  void* wake = nullptr;
};

// One process's mapping of a segment, and what the process keeps beside it.
class Mapping {
 public:
  // `segment` maps layout::size_for(config.max_keys) bytes.
  Mapping(layout::Layout* segment, SharedConfig config, std::string name, KernelObjects objects = {}) noexcept
      : segment_(segment),
        objects_(objects),
        config_(config),
        name_(std::move(name)),
        cell_count_(layout::cell_count_for(config.max_keys)),
        cells_(layout::all_cells(*segment)) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  layout::Layout& segment() const noexcept { return *segment_; }
  // Checked at open and kept here: the header in the segment may change
  // under us, so sizes and limits are never read from it again.
  const SharedConfig& config() const noexcept { return config_; }
  const std::string& name() const noexcept { return name_; }
  std::size_t size() const noexcept { return layout::size_for(config_.max_keys); }
  // Every cell of this mapping, fixed and keyed: the bound of every index.
  std::size_t cell_count() const noexcept { return cell_count_; }
  std::uint64_t* cells() const noexcept { return cells_; }
  const KernelObjects& objects() const noexcept { return objects_; }

  // Where this process's slot was last found. Only a hint: every use checks
  // the slot under the segment's lock, so relaxed order is enough.
  std::atomic<std::uint32_t> slot_hint{0};
  // Wall-clock time of this mapping's last look for dead processes, which
  // costs a probe of the OS per holder and is made at most every
  // reclaim_interval. Relaxed: two threads that both look do no harm.
  std::atomic<std::int64_t> last_reclaim_ns{std::numeric_limits<std::int64_t>::min()};
  static constexpr std::chrono::milliseconds reclaim_interval{10};

 private:
  layout::Layout* segment_;  // mapped for the life of this object
  KernelObjects objects_;    // open for the life of this object
  SharedConfig config_;
  std::string name_;
  std::size_t cell_count_;  // of config_.max_keys
  std::uint64_t* cells_;    // all_cells(*segment_)
};

// Maps the object named for `name`, creating and publishing it with `mode`
// (0600 when none is given) when it does not exist. An existing one must be
// a regular file of this user (on Linux, or of another user sharing it with
// a group of this user, see check_owner in linux/open_mapping.cpp), of
// `mode` when one is given, and hold `config`.
std::expected<std::unique_ptr<Mapping>, OpenError> open_mapping(std::string_view name, const SharedConfig& config,
                                                               std::optional<unsigned> mode);

}  // namespace quellgate::shared_memory
