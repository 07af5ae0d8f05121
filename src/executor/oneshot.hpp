#pragma once
#include <atomic>
#include <coroutine>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "executor/job.hpp"

namespace quellgate::executor {

namespace detail {

// The state both ends of a one-shot channel share.
template <class T>
class OneShotChannel {
 public:
  // False when the receiver is already gone; the value is dropped then.
  bool send(T value) {
    Waker receiver;
    {
      std::lock_guard lock(mutex_);
      if (receiver_gone_) return false;
      value_.emplace(std::move(value));
      settled_.store(true, std::memory_order_release);
      receiver = std::move(receiver_waker_);
    }
    std::move(receiver).wake();
    return true;
  }

  void close_sender() {
    Waker receiver;
    {
      std::lock_guard lock(mutex_);
      if (settled_.load(std::memory_order_relaxed)) return;
      settled_.store(true, std::memory_order_release);
      receiver = std::move(receiver_waker_);
    }
    std::move(receiver).wake();
  }

  void close_receiver() {
    Waker dropped;
    std::lock_guard lock(mutex_);
    receiver_gone_ = true;
    dropped = std::move(receiver_waker_);
  }

  bool settled() const noexcept { return settled_.load(std::memory_order_acquire); }

  // Registers `job` to be woken when the channel settles; false when it
  // already has, so the caller need not suspend.
  bool wait(JobBase& job) {
    std::lock_guard lock(mutex_);
    if (settled_.load(std::memory_order_relaxed)) return false;
    receiver_waker_ = Waker(job);
    return true;
  }

  std::optional<T> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(value_, std::nullopt);
  }

 private:
  std::mutex mutex_;
  // Guarded by mutex_.
  std::optional<T> value_;
  Waker receiver_waker_;
  bool receiver_gone_ = false;
  // Written under mutex_ (release) once a value is in or the sender is gone;
  // read without it (acquire) to decide whether the receiver may resume.
  std::atomic<bool> settled_{false};
};

}  // namespace detail

// The sending end: send() once from any thread. Dropping it unsent makes the
// receiver yield nullopt.
template <class T>
class OneShotSender {
 public:
  explicit OneShotSender(std::shared_ptr<detail::OneShotChannel<T>> channel) noexcept : channel_(std::move(channel)) {}
  OneShotSender(OneShotSender&&) noexcept = default;
  OneShotSender& operator=(OneShotSender&& other) noexcept {
    if (this != &other) {
      close();
      channel_ = std::move(other.channel_);
    }
    return *this;
  }
  ~OneShotSender() { close(); }

  explicit operator bool() const noexcept { return channel_ != nullptr; }

  // Wakes the job awaiting the receiver. False when the receiver is gone.
  bool send(T value) {
    if (!channel_) throw std::logic_error("a OneShotSender sends only once");
    return std::exchange(channel_, nullptr)->send(std::move(value));
  }

 private:
  void close() {
    if (auto channel = std::exchange(channel_, nullptr)) channel->close_sender();
  }

  std::shared_ptr<detail::OneShotChannel<T>> channel_;
};

// The receiving end: `co_await receiver` inside a job yields the value, or
// nullopt once the sender was dropped unsent. Await it once.
template <class T>
class OneShotReceiver : private detail::AwaitedEvent {
 public:
  explicit OneShotReceiver(std::shared_ptr<detail::OneShotChannel<T>> channel) noexcept
      : channel_(std::move(channel)) {}
  OneShotReceiver(OneShotReceiver&& other) noexcept : channel_(std::move(other.channel_)) {}
  OneShotReceiver& operator=(OneShotReceiver&& other) noexcept {
    if (this != &other) {
      close();
      channel_ = std::move(other.channel_);
    }
    return *this;
  }
  ~OneShotReceiver() { close(); }

  bool await_ready() const noexcept { return channel_->settled(); }
  bool await_suspend(std::coroutine_handle<> awaiting) {
    detail::JobBase& job = detail::require_current_job("a OneShotReceiver was awaited");
    if (!channel_->wait(job)) return false;
    job.suspend_at(awaiting, *this);
    return true;
  }
  std::optional<T> await_resume() { return channel_->take(); }

 private:
  bool has_happened() const noexcept override { return channel_->settled(); }
  void close() {
    if (auto channel = std::exchange(channel_, nullptr)) channel->close_receiver();
  }

  std::shared_ptr<detail::OneShotChannel<T>> channel_;
};

template <class T>
struct OneShot {
  OneShotSender<T> sender;
  OneShotReceiver<T> receiver;
};

template <class T>
OneShot<T> make_oneshot() {
  auto channel = std::make_shared<detail::OneShotChannel<T>>();
  return OneShot<T>{OneShotSender<T>(channel), OneShotReceiver<T>(channel)};
}

}  // namespace quellgate::executor
