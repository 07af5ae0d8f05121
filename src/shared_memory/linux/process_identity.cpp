#include "shared_memory/process_identity.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <optional>
#include <string_view>

namespace quellgate::shared_memory {
namespace {

// Bumped in a forked child before it runs anything else; the identity is
// current while its generation equals this. Only the forking thread lives
// in the child when the handler runs, so relaxed order is enough there.
std::atomic<std::uint64_t> fork_generation{1};

// The token of a process whose identity /proc cannot give; 0 until drawn.
// Set once by compare-exchange, so that every thread of the process agrees
// on it; relaxed, since the token is the whole of what is published.
std::atomic<std::uint64_t> unknown_identity_token{0};

void on_fork_child() noexcept {
  unknown_identity_token.store(0, std::memory_order_relaxed);
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

// Registered as the module loads, so every fork after any identity was read
// marks it stale. The handler takes no lock: a lock held by another thread
// at fork() would stay held in the child for good.
[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, on_fork_child);

// The identity of this process, refreshed without a lock: every thread that
// finds it stale reads the same values for the same process, so racing
// writers store identical fields. Fields relaxed; the generation is stored
// with release after them and loaded with acquire before them.
struct CachedIdentity {
  std::atomic<std::uint64_t> pid{0};
  std::atomic<std::uint64_t> start_time{0};
  std::atomic<std::uint64_t> pid_namespace{0};
  std::atomic<std::uint64_t> generation{0};
} cached;

struct StatFields {
  std::uint64_t pid = 0;  // as this /proc numbers it
  char state = '?';
  std::uint64_t start_time = 0;
};

// Fields 1 (pid), 3 (state) and 22 (start time) of /proc/PID/stat. The command name
// (field 2) is in parentheses and may hold anything, so fields are counted
// from the last ')'.
std::optional<StatFields> parse_stat(std::string_view text) noexcept {
  const auto close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  StatFields fields;
  const std::string_view head = text.substr(0, text.find(' '));
  if (std::from_chars(head.data(), head.data() + head.size(), fields.pid).ec != std::errc{}) return std::nullopt;
  text.remove_prefix(close + 1);
  for (int field = 3; field <= 22; ++field) {
    const auto start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    text.remove_prefix(start);
    const auto end = std::min(text.find(' '), text.size());
    const std::string_view value = text.substr(0, end);
    if (field == 3) fields.state = value.empty() ? '?' : value.front();
    if (field == 22) {
      const auto [rest, error] = std::from_chars(value.data(), value.data() + value.size(), fields.start_time);
      if (error != std::errc{} || rest != value.data() + value.size()) return std::nullopt;
    }
    text.remove_prefix(end);
  }
  return fields;
}

enum class StatResult { read, no_process, unreadable };

StatResult read_stat_at(const char* path, StatFields& out) noexcept {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ESRCH ? StatResult::no_process : StatResult::unreadable;
  char buffer[1024];
  std::size_t used = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buffer + used, sizeof buffer - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    used += static_cast<std::size_t>(got);
    if (used == sizeof buffer) break;
  }
  ::close(fd);
  const auto fields = parse_stat(std::string_view(buffer, used));
  if (!fields) return StatResult::unreadable;
  out = *fields;
  return StatResult::read;
}

StatResult read_stat(std::uint64_t pid, StatFields& out) noexcept {
  char path[48];
  if (pid == 0) {
    std::snprintf(path, sizeof path, "/proc/self/stat");
  } else {
    std::snprintf(path, sizeof path, "/proc/%llu/stat", static_cast<unsigned long long>(pid));
  }
  return read_stat_at(path, out);
}

bool is_dead_state(char state) noexcept { return state == 'Z' || state == 'X'; }

// Whether any thread of the process still runs, for a leader that is a
// zombie: a main thread that called pthread_exit leaves one while the
// others go on. Threads other than the leader leave the list as they exit.
// A list that cannot be read proves nothing: the process counts as alive.
bool any_thread_alive(std::uint64_t pid) noexcept {
  char directory[48];
  std::snprintf(directory, sizeof directory, "/proc/%llu/task", static_cast<unsigned long long>(pid));
  DIR* tasks = ::opendir(directory);
  if (tasks == nullptr) return errno != ENOENT && errno != ESRCH;
  bool alive = false;
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    char path[48 + sizeof entry->d_name + 8];
    std::snprintf(path, sizeof path, "%s/%s/stat", directory, entry->d_name);
    StatFields fields;
    const StatResult result = read_stat_at(path, fields);
    if (result == StatResult::unreadable || (result == StatResult::read && !is_dead_state(fields.state))) {
      alive = true;
      break;
    }
  }
  ::closedir(tasks);
  return alive;
}

// Random, so that processes that cannot be told apart by /proc still never
// match each other's slot. Without getrandom (seccomp, an old kernel) the
// clocks and an address give a value that differs between processes all but
// surely.
std::uint64_t draw_token() noexcept {
  std::uint64_t token = 0;
  if (::getrandom(&token, sizeof token, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof token)) {
    timespec wall{}, cpu{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    token = (static_cast<std::uint64_t>(wall.tv_sec) * 1'000'000'007ULL) ^ static_cast<std::uint64_t>(wall.tv_nsec) ^
            (static_cast<std::uint64_t>(cpu.tv_nsec) << 32) ^ reinterpret_cast<std::uintptr_t>(&token);
  }
  return token == 0 ? 1 : token;
}

std::uint64_t unknown_identity() noexcept {
  std::uint64_t token = unknown_identity_token.load(std::memory_order_relaxed);
  if (token != 0) return token;
  const std::uint64_t drawn = draw_token();
  // The loser of a race takes the winner's token.
  if (unknown_identity_token.compare_exchange_strong(token, drawn, std::memory_order_relaxed)) return drawn;
  return token;
}

ProcessIdentity read_identity() noexcept {
  ProcessIdentity read;
  read.pid = static_cast<std::uint64_t>(::getpid());
  StatFields own;
  // A /proc of another PID namespace (mounted from outside a container)
  // numbers processes differently: then leave the namespace unknown, so
  // that no slot is ever judged by it, and make the identity a token that
  // no other process has.
  struct stat ns {};
  if (read_stat(0, own) != StatResult::read || own.pid != read.pid || ::stat("/proc/self/ns/pid", &ns) != 0 ||
      ns.st_ino == 0) {
    read.start_time = unknown_identity();
    return read;
  }
  read.start_time = own.start_time;
  read.pid_namespace = ns.st_ino;
  return read;
}

}  // namespace

ProcessIdentity current_identity() noexcept {
  const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
  if (cached.generation.load(std::memory_order_acquire) != generation) [[unlikely]] {
    const ProcessIdentity fresh = read_identity();
    cached.pid.store(fresh.pid, std::memory_order_relaxed);
    cached.start_time.store(fresh.start_time, std::memory_order_relaxed);
    cached.pid_namespace.store(fresh.pid_namespace, std::memory_order_relaxed);
    cached.generation.store(generation, std::memory_order_release);
    return fresh;
  }
  return ProcessIdentity{cached.pid.load(std::memory_order_relaxed), cached.start_time.load(std::memory_order_relaxed),
                         cached.pid_namespace.load(std::memory_order_relaxed)};
}

bool process_is_gone(std::uint64_t pid, std::uint64_t start_time) noexcept {
  // kill(0) and kill(-1) mean process groups; a pid beyond pid_t is garbage
  // and can belong to no process.
  if (pid == 0 || pid > static_cast<std::uint64_t>(INT_MAX)) return true;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return true;
  StatFields fields;
  switch (read_stat(pid, fields)) {
    case StatResult::no_process:
      return true;
    case StatResult::unreadable:
      return false;
    case StatResult::read:
      break;
  }
  if (fields.start_time != start_time) return true;
  return is_dead_state(fields.state) && !any_thread_alive(pid);
}

}  // namespace quellgate::shared_memory
