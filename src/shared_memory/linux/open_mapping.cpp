#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "shared_memory/mapping.hpp"
#include "shared_memory/object_name.hpp"
#include "shared_memory/segment_header.hpp"
#include "shared_memory/segment_lock.hpp"

namespace quellgate::shared_memory {
namespace {

constexpr std::string_view shm_directory = "/dev/shm";
// The mode of a segment created without mode=: this user only.
constexpr unsigned default_mode = 0600;
// Losing the race to create, then finding the winner's segment removed
// before it could be opened, takes a remove_shared() in between every time.
constexpr int open_attempts = 4;
// Temporary names taken by live processes: only processes whose identity
// /proc cannot give can clash, and then only by a random token's chance.
constexpr int temporary_attempts = 8;
// Group read and write: what a mode must grant for a segment of another
// user to be used (see check_owner).
constexpr unsigned group_read_write = 0060;

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
  MappedBytes(void* address, std::size_t size) noexcept : address_(address), size_(size) {}
  MappedBytes(const MappedBytes&) = delete;
  MappedBytes& operator=(const MappedBytes&) = delete;
  ~MappedBytes() {
    if (address_ != nullptr) ::munmap(address_, size_);
  }
  layout::Layout* segment() const noexcept { return static_cast<layout::Layout*>(address_); }
  layout::Layout* release() noexcept { return static_cast<layout::Layout*>(std::exchange(address_, nullptr)); }

 private:
  void* address_;
  std::size_t size_;
};

// Where glibc keeps a POSIX shared-memory object, for link() and for messages.
std::string object_path(const std::string& object) { return std::string(shm_directory) + object; }

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

std::string octal(unsigned mode) {
  char text[16];
  std::snprintf(text, sizeof text, "0o%03o", mode & 0777);
  return text;
}

std::string user_named(uid_t uid) {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  const std::string number = "uid " + std::to_string(uid);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return number;
  return quoted(entry.pw_name) + " (" + number + ")";
}

// What sits at the name when it is not a regular file, for the message.
std::optional<std::string> not_a_file(mode_t mode) {
  if (S_ISREG(mode)) return std::nullopt;
  if (S_ISDIR(mode)) return "it is a directory";
  if (S_ISLNK(mode)) return "it is a symbolic link";
  if (S_ISFIFO(mode)) return "it is a FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "it is a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device node";
  return "it is not a regular file";
}

bool caller_in_group(gid_t group) {
  if (::getegid() == group) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = ::getgroups(count, groups.data());
  return got > 0 && std::ranges::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

// Anyone who can write the segment can set its counts or stall its lock, so
// a segment of another user is used only when this caller asked to share
// with a group: it passed a mode granting the group read and write, the
// object has exactly that mode, and the object's group is one of the
// caller's. Everything else of another user is refused, whatever its mode.
std::optional<OpenError> check_owner(const Names& names, const struct stat& status, std::optional<unsigned> mode) {
  const uid_t caller = ::geteuid();
  if (status.st_uid == caller) return std::nullopt;
  if (mode && (*mode & group_read_write) == group_read_write && (status.st_mode & 0777) == *mode &&
      caller_in_group(status.st_gid)) {
    return std::nullopt;
  }
  return OpenError{OpenError::Kind::os, EACCES,
                   "shared limiter " + quoted(names.name) + ": " + names.path + " belongs to user " +
                       user_named(status.st_uid) + ", not to this process's user " + user_named(caller) +
                       "; another user's segment is used only when shared with a group of this user, "
                       "with group read and write and the same mode= on both sides (such as mode=0o660)"};
}

std::optional<OpenError> check_mode(const Names& names, const struct stat& status, std::optional<unsigned> mode) {
  if (!mode || (status.st_mode & 0777) == *mode) return std::nullopt;
  return OpenError{OpenError::Kind::mismatch, 0,
                   "shared limiter " + quoted(names.name) + " exists with mode " + octal(status.st_mode) +
                       ", which differs from the mode=" + octal(*mode) + " asked for"};
}

// Why shm_open refused an existing name, saying what is there: glibc
// reports a directory as EINVAL and a symbolic link as ELOOP.
OpenError open_refused(const Names& names, int error) {
  struct stat status {};
  if (::lstat(names.path.c_str(), &status) == 0) {
    if (auto what = not_a_file(status.st_mode)) return corrupt(names, *what);
    if (error == EACCES && status.st_uid != ::geteuid()) {
      return OpenError{OpenError::Kind::os, EACCES,
                       "shared limiter " + quoted(names.name) + ": cannot open " + names.path +
                           ": it belongs to user " + user_named(status.st_uid) + " with mode " +
                           octal(status.st_mode) + ", which does not let this process's user " +
                           user_named(::geteuid()) + " read and write it"};
    }
  }
  return os_error(names, "open", error);
}

std::expected<MappedBytes, OpenError> map(const Names& names, int fd, std::size_t size) {
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return std::unexpected(os_error(names, "map", errno));
  return std::expected<MappedBytes, OpenError>(std::in_place, address, size);
}

std::expected<std::unique_ptr<Mapping>, OpenError> attach(const Names& names, int fd, const SharedConfig& wanted,
                                                          std::optional<unsigned> mode) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::unexpected(os_error(names, "inspect", errno));
  if (auto what = not_a_file(status.st_mode)) return std::unexpected(corrupt(names, *what));
  if (auto refused = check_owner(names, status, mode)) return std::unexpected(std::move(*refused));
  if (auto refused = check_mode(names, status, mode)) return std::unexpected(std::move(*refused));
  // The size of the table is in the header: a size that can hold a header
  // is mapped whole, and the header must then account for every byte.
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (auto wrong = wrong_size(size)) return std::unexpected(corrupt(names, *wrong));
  auto bytes = map(names, fd, size);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  // One copy, so that a writer cannot change the header between check and use.
  layout::Header header;
  std::memcpy(&header, &bytes->segment()->header, sizeof header);
  const auto stored = read_header(header, size);
  if (!stored) return std::unexpected(corrupt(names, stored.error()));
  if (!(*stored == wanted)) {
    return std::unexpected(OpenError{OpenError::Kind::mismatch, 0,
                                     "shared limiter " + quoted(names.name) + " exists with " + stored->describe() +
                                         ", which differs from the " + wanted.describe() + " asked for"});
  }
  return std::make_unique<Mapping>(bytes->release(), *stored, std::string(names.name));
}

// Removes the temporaries of creators that are certainly gone (killed
// between creating one and publishing it), so that they do not pile up in
// /dev/shm. Only creators of this PID namespace can be proven gone; any
// other, and every error, leaves the entry where it is.
void remove_dead_temporaries(const ProcessIdentity& me) {
  if (me.pid_namespace == 0) return;
  DIR* directory = ::opendir(std::string(shm_directory).c_str());
  if (directory == nullptr) return;
  std::vector<std::string> dead;
  const std::string prefix = temporary_entry_prefix();
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view file = entry->d_name;
    if (!file.starts_with(prefix)) continue;
    const auto creator = temporary_creator(file);
    if (creator && creator->pid_namespace == me.pid_namespace &&
        process_is_gone(creator->pid, creator->start_time)) {
      dead.emplace_back("/" + std::string(file));
    }
  }
  ::closedir(directory);
  for (const std::string& object : dead) ::shm_unlink(object.c_str());
}

struct Temporary {
  std::string object;
  int fd;
};

// A new temporary object, under a name no live process uses: a name taken
// (by a clash of tokens, or a leftover not proven dead) is passed over.
std::expected<Temporary, OpenError> create_temporary(const Names& names) {
  const ProcessIdentity me = current_identity();
  remove_dead_temporaries(me);
  std::string object;
  int error = EEXIST;
  for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
    object = temporary_object_name(names.name, me);
    const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return Temporary{std::move(object), fd};
    error = errno;
    if (error != EEXIST) break;
  }
  return std::unexpected(os_error(names, "create the temporary object " + object_path(object) + " for", error));
}

// Builds a segment under a temporary name and links it into place, so no
// opener ever sees it half made. Errors name the object at fault: the
// temporary while it is being made, the final path when it is published.
// Nothing (and no error) when another process linked its own first.
std::expected<std::unique_ptr<Mapping>, OpenError> create(const Names& names, const SharedConfig& config,
                                                          unsigned mode) {
  auto temporary = create_temporary(names);
  if (!temporary) return std::unexpected(std::move(temporary.error()));
  const FileDescriptor fd(temporary->fd);
  struct Unlink {
    const std::string& object;
    ~Unlink() { ::shm_unlink(object.c_str()); }
  } unlink_temporary{temporary->object};
  const Names made{names.name, object_path(temporary->object)};
  if (::fchmod(fd.get(), mode & 0777) != 0) return std::unexpected(os_error(made, "set the mode of", errno));
  // Allocated now, so that a full /dev/shm is an error here rather than a
  // SIGBUS at the first touch of a page.
  const std::size_t size = layout::size_for(config.max_keys);
  if (const int error = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size)); error != 0) {
    return std::unexpected(os_error(made, "allocate", error));
  }
  auto bytes = map(made, fd.get(), size);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  write_header(bytes->segment()->header, config);
  if (const int error = initialise_mutex(*bytes->segment()); error != 0) {
    return std::unexpected(os_error(made, "set up the lock of", error));
  }
  if (::link(made.path.c_str(), names.path.c_str()) != 0) {
    if (errno == EEXIST) return std::unique_ptr<Mapping>();
    return std::unexpected(os_error(names, "publish " + made.path + " as", errno));
  }
  return std::make_unique<Mapping>(bytes->release(), config, std::string(names.name));
}

}  // namespace

Mapping::~Mapping() { ::munmap(segment_, size()); }

std::expected<std::unique_ptr<Mapping>, OpenError> open_mapping(std::string_view name, const SharedConfig& config,
                                                               std::optional<unsigned> mode) {
  const auto object = object_name(name);
  if (!object) return std::unexpected(object.error());
  const Names names{name, object_path(*object)};
  // The engine never builds such a configuration; were one to come, a
  // window of length 0 would divide by zero at the first admission.
  if (config.window_count > layout::max_windows || config.max_keys > layout::max_key_entries ||
      std::ranges::any_of(config.active(), [](const WindowSpec& w) { return w.length_seconds == 0 || w.limit == 0; })) {
    return std::unexpected(OpenError{OpenError::Kind::os, EINVAL,
                                     "shared limiter " + quoted(name) + ": invalid configuration " + config.describe()});
  }
  for (int attempt = 0; attempt < open_attempts; ++attempt) {
    const FileDescriptor fd(::shm_open(object->c_str(), O_RDWR | O_CLOEXEC, 0));
    if (fd.get() >= 0) return attach(names, fd.get(), config, mode);
    if (errno != ENOENT) return std::unexpected(open_refused(names, errno));
    auto created = create(names, config, mode.value_or(default_mode));
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
