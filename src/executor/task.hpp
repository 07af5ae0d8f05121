#pragma once
#include <coroutine>
#include <exception>
#include <utility>
#include <variant>

namespace quellgate::executor {

template <class T = void>
class Task;

namespace detail {

// Resumes whoever awaited the finished task, or returns to the worker when
// the task is a job's root. Symmetric transfer keeps deep await chains from
// growing the stack.
template <class Promise>
struct FinalAwaiter {
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> finished) const noexcept {
    if (auto next = finished.promise().continuation) return next;
    return std::noop_coroutine();
  }
  void await_resume() const noexcept {}
};

class TaskPromiseBase {
 public:
  std::coroutine_handle<> continuation;

  std::suspend_always initial_suspend() const noexcept { return {}; }

  // A thread ended with pthread_exit unwinds through here with a forced
  // unwind, which has no exception_ptr (see ending_the_thread); swallowing it
  // would abort the process, so it keeps going.
  void unhandled_exception() {
    exception_ = std::current_exception();
    if (!exception_) throw;
  }

  const std::exception_ptr& exception() const { return exception_; }

 protected:
  void rethrow_if_failed() const {
    if (exception_) std::rethrow_exception(exception_);
  }

  std::exception_ptr exception_;
};

template <class T>
class TaskPromise : public TaskPromiseBase {
 public:
  Task<T> get_return_object() noexcept;
  FinalAwaiter<TaskPromise> final_suspend() const noexcept { return {}; }
  template <class U>
  void return_value(U&& value) {
    value_.template emplace<1>(std::forward<U>(value));
  }
  T take_result() {
    rethrow_if_failed();
    return std::move(std::get<1>(value_));
  }

 private:
  std::variant<std::monostate, T> value_;
};

template <>
class TaskPromise<void> : public TaskPromiseBase {
 public:
  Task<void> get_return_object() noexcept;
  FinalAwaiter<TaskPromise> final_suspend() const noexcept { return {}; }
  void return_void() const noexcept {}
  void take_result() const { rethrow_if_failed(); }
};

}  // namespace detail

// A lazy coroutine: nothing runs until it is awaited (or spawned as a job).
// The Task owns its frame; destroying it destroys the frame and with it every
// task that frame is awaiting, running their destructors.
template <class T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::TaskPromise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  Task() noexcept = default;
  explicit Task(Handle handle) noexcept : handle_(handle) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  ~Task() { reset(); }

  bool valid() const noexcept { return static_cast<bool>(handle_); }
  Handle handle() const noexcept { return handle_; }
  void reset() noexcept {
    if (handle_) std::exchange(handle_, {}).destroy();
  }

  struct Awaiter {
    Handle handle;
    bool await_ready() const noexcept { return handle.done(); }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) const noexcept {
      handle.promise().continuation = awaiting;
      return handle;
    }
    T await_resume() const { return handle.promise().take_result(); }
  };
  Awaiter operator co_await() & noexcept { return Awaiter{handle_}; }
  Awaiter operator co_await() && noexcept { return Awaiter{handle_}; }

 private:
  Handle handle_;
};

namespace detail {

template <class T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<TaskPromise>::from_promise(*this));
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<TaskPromise>::from_promise(*this));
}

}  // namespace detail

}  // namespace quellgate::executor
