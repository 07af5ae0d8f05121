#include "executor/os_thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace quellgate::executor {

namespace {

// Deliberately not noexcept: see start_os_thread.
void* os_thread_entry(void* raw_body) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw_body));
  (*body)();
  return nullptr;
}

class ThreadAttributes {
 public:
  ThreadAttributes() { ok_ = pthread_attr_init(&attr_) == 0; }
  ~ThreadAttributes() {
    if (ok_) pthread_attr_destroy(&attr_);
  }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;

  int configure(std::size_t stack_bytes) {
    if (!ok_) return EAGAIN;
    return pthread_attr_setstacksize(&attr_, stack_bytes);
  }
  const pthread_attr_t* get() const { return &attr_; }

 private:
  pthread_attr_t attr_{};
  bool ok_ = false;
};

}  // namespace

static_assert(sizeof(pthread_t) == sizeof(OsThread::Native));

OsThread::~OsThread() {
  if (joinable_) pthread_detach(static_cast<pthread_t>(handle_));
}

void OsThread::join() noexcept {
  if (std::exchange(joinable_, false)) pthread_join(static_cast<pthread_t>(handle_), nullptr);
}

// The forced unwind runs the destructors: nothing is left to the guard.
ThreadEndGuard::ThreadEndGuard(void (*end)(void*), void* end_context) noexcept : on_end(end), context(end_context) {}
ThreadEndGuard::~ThreadEndGuard() = default;

std::expected<OsThread, int> start_os_thread(std::string_view name, std::size_t stack_bytes,
                                             std::function<void()> body) {
  ThreadAttributes attributes;
  if (int rc = attributes.configure(stack_bytes)) return std::unexpected(rc);
  auto owned_body = std::make_unique<std::function<void()>>(std::move(body));
  pthread_t thread{};
  if (int rc = pthread_create(&thread, attributes.get(), os_thread_entry, owned_body.get())) {
    return std::unexpected(rc);
  }
  owned_body.release();  // the new thread owns it now
  // Named from here, while the handle is still joinable and so valid even if
  // the thread has already ended: a thread naming itself would carry its name
  // only once first scheduled. A name the OS refuses is cosmetic.
  pthread_setname_np(thread, linux_thread_name(name).c_str());
  return OsThread(static_cast<OsThread::Native>(thread));
}

std::size_t logical_processor_count() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  long count = 0;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) count = CPU_COUNT(&allowed);
  if (count <= 0) count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<std::size_t>(count) : 1;
}

std::string os_error_text(int code) {
  char buffer[256] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? std::string(text) : "unknown error " + std::to_string(code);
}

}  // namespace quellgate::executor
