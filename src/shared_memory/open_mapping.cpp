#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "shared_memory/mapping.hpp"
#include "shared_memory/object_name.hpp"
#include "shared_memory/segment_lock.hpp"

namespace quellgate::shared_memory {
namespace {

constexpr std::size_t segment_size = sizeof(layout::Layout);
// Losing the race to create, then finding the winner's segment removed
// before it could be opened, takes a remove_shared() in between every time.
constexpr int open_attempts = 4;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// An mmap that is undone unless handed to a Mapping.
class MappedBytes {
 public:
  explicit MappedBytes(void* address) noexcept : address_(address) {}
  MappedBytes(const MappedBytes&) = delete;
  MappedBytes& operator=(const MappedBytes&) = delete;
  ~MappedBytes() {
    if (address_ != nullptr) ::munmap(address_, segment_size);
  }
  layout::Layout* segment() const noexcept { return static_cast<layout::Layout*>(address_); }
  layout::Layout* release() noexcept { return static_cast<layout::Layout*>(std::exchange(address_, nullptr)); }

 private:
  void* address_;
};

struct Names {
  std::string_view name;
  std::string path;
};

OpenError os_error(const Names& names, std::string_view doing, int error) {
  return OpenError{OpenError::Kind::os, error,
                   "shared limiter " + quoted(names.name) + ": cannot " + std::string(doing) + " " + names.path +
                       ": " + std::error_code(error, std::generic_category()).message()};
}

OpenError corrupt(const Names& names, const std::string& reason) {
  return OpenError{OpenError::Kind::corrupt, 0,
                   "shared limiter " + quoted(names.name) + ": " + names.path +
                       " is not a segment this version of quellgate can use: " + reason};
}

std::expected<MappedBytes, OpenError> map(const Names& names, int fd) {
  void* address = ::mmap(nullptr, segment_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return std::unexpected(os_error(names, "map", errno));
  return std::expected<MappedBytes, OpenError>(std::in_place, address);
}

// The configuration a header states, or what is wrong with it.
std::expected<SharedConfig, std::string> read_header(const layout::Header& header) {
  if (header.magic != layout::magic) return std::unexpected("its magic number is wrong");
  if (header.version != layout::version || header.total_size != segment_size ||
      header.slot_count != layout::slot_count) {
    return std::unexpected("its header states layout version " + std::to_string(header.version) + " and " +
                           std::to_string(header.total_size) + " bytes, expected version " +
                           std::to_string(layout::version) + " and " + std::to_string(segment_size));
  }
  if (header.window_count > layout::max_windows) return std::unexpected("its header states too many windows");
  SharedConfig config;
  config.window_count = header.window_count;
  config.max_burst = header.max_burst;
  for (std::size_t i = 0; i < config.window_count; ++i) {
    config.windows[i] = WindowSpec{header.window_length[i], header.window_limit[i]};
    if (config.windows[i].length_seconds == 0 || config.windows[i].limit == 0) {
      return std::unexpected("its header states a window of length or limit 0");
    }
  }
  return config;
}

std::expected<std::unique_ptr<Mapping>, OpenError> attach(const Names& names, int fd, const SharedConfig& wanted) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::unexpected(os_error(names, "inspect", errno));
  if (!S_ISREG(status.st_mode)) return std::unexpected(corrupt(names, "it is not a regular file"));
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size != segment_size) {
    return std::unexpected(corrupt(names, std::string(size < segment_size ? "it is truncated: " : "it has ") +
                                              std::to_string(size) + " bytes, a segment has " +
                                              std::to_string(segment_size)));
  }
  auto bytes = map(names, fd);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  // One copy, so that a writer cannot change the header between check and use.
  layout::Header header;
  std::memcpy(&header, &bytes->segment()->header, sizeof header);
  const auto stored = read_header(header);
  if (!stored) return std::unexpected(corrupt(names, stored.error()));
  if (!(*stored == wanted)) {
    return std::unexpected(OpenError{OpenError::Kind::mismatch, 0,
                                     "shared limiter " + quoted(names.name) + " exists with " + stored->describe() +
                                         ", which differs from the " + wanted.describe() + " asked for"});
  }
  return std::make_unique<Mapping>(bytes->release(), *stored, std::string(names.name));
}

void write_header(layout::Header& header, const SharedConfig& config) noexcept {
  header.magic = layout::magic;
  header.version = layout::version;
  header.slot_count = layout::slot_count;
  header.total_size = segment_size;
  header.window_count = config.active().size();
  for (std::size_t i = 0; i < config.active().size(); ++i) {
    header.window_length[i] = config.windows[i].length_seconds;
    header.window_limit[i] = config.windows[i].limit;
  }
  header.max_burst = config.max_burst;
}

// Builds a segment under a temporary name and links it into place, so no
// opener ever sees it half made. Errors name the object being made, not
// its passing temporary name. Nothing (and no error) when another
// process linked its own first.
std::expected<std::unique_ptr<Mapping>, OpenError> create(const Names& names, const SharedConfig& config,
                                                          unsigned mode) {
  const std::string temporary = temporary_object_name(names.name);
  const std::string temporary_path = object_path(temporary);
  const FileDescriptor fd(::shm_open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) return std::unexpected(os_error(names, "create", errno));
  struct Unlink {
    const std::string& object;
    ~Unlink() { ::shm_unlink(object.c_str()); }
  } unlink_temporary{temporary};
  if (::fchmod(fd.get(), mode & 0777) != 0) return std::unexpected(os_error(names, "set the mode of", errno));
  // Allocated now, so that a full /dev/shm is an error here rather than a
  // SIGBUS at the first touch of a page.
  if (const int error = ::posix_fallocate(fd.get(), 0, segment_size); error != 0) {
    return std::unexpected(os_error(names, "allocate", error));
  }
  auto bytes = map(names, fd.get());
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  write_header(bytes->segment()->header, config);
  if (const int error = initialise_mutex(*bytes->segment()); error != 0) {
    return std::unexpected(os_error(names, "set up the lock of", error));
  }
  if (::link(temporary_path.c_str(), names.path.c_str()) != 0) {
    if (errno == EEXIST) return std::unique_ptr<Mapping>();
    return std::unexpected(os_error(names, "publish", errno));
  }
  return std::make_unique<Mapping>(bytes->release(), config, std::string(names.name));
}

}  // namespace

Mapping::~Mapping() { ::munmap(segment_, segment_size); }

std::expected<std::unique_ptr<Mapping>, OpenError> open_mapping(std::string_view name, const SharedConfig& config,
                                                               unsigned mode) {
  const auto object = object_name(name);
  if (!object) return std::unexpected(object.error());
  const Names names{name, object_path(*object)};
  // The engine never builds such a configuration; were one to come, a
  // window of length 0 would divide by zero at the first admission.
  if (config.window_count > layout::max_windows ||
      std::ranges::any_of(config.active(), [](const WindowSpec& w) { return w.length_seconds == 0 || w.limit == 0; })) {
    return std::unexpected(OpenError{OpenError::Kind::os, EINVAL,
                                     "shared limiter " + quoted(name) + ": invalid configuration " + config.describe()});
  }
  for (int attempt = 0; attempt < open_attempts; ++attempt) {
    const FileDescriptor fd(::shm_open(object->c_str(), O_RDWR | O_CLOEXEC, 0));
    if (fd.get() >= 0) return attach(names, fd.get(), config);
    if (errno != ENOENT) return std::unexpected(os_error(names, "open", errno));
    auto created = create(names, config, mode);
    if (!created || *created) return created;
  }
  return std::unexpected(os_error(names, "open", ENOENT));
}

std::expected<void, OpenError> Segment::remove(std::string_view name) {
  const auto object = object_name(name);
  if (!object) return std::unexpected(object.error());
  if (::shm_unlink(object->c_str()) != 0) {
    const int error = errno;
    return std::unexpected(os_error(Names{name, object_path(*object)}, "remove", error));
  }
  return {};
}

}  // namespace quellgate::shared_memory
