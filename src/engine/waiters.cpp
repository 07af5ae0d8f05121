#include "engine/waiters.hpp"

#include <utility>

#include "engine/count_home.hpp"
#include "engine/limiter_core.hpp"

namespace quellgate::engine {

WaiterList::Chain& WaiterList::chain_for(WakeOn wake_on) noexcept {
  return wake_on == WakeOn::release_or_interrupt ? burst_chain_ : window_chain_;
}

void WaiterList::enlist(Waiter& waiter, WakeOn wake_on) noexcept {
  const std::lock_guard lock(mutex_);
  Chain& chain = chain_for(wake_on);
  waiter.wake_on_ = wake_on;
  waiter.previous_ = chain.last;
  waiter.next_ = nullptr;
  if (chain.last != nullptr) chain.last->next_ = &waiter;
  else chain.first = &waiter;
  chain.last = &waiter;
  waiter.listed_ = true;
  // Sequentially consistent: the waiter's next look at the burst count must
  // not be ordered before this, see burst.cpp.
  if (wake_on == WakeOn::release_or_interrupt) burst_waiters_.fetch_add(1, std::memory_order_seq_cst);
}

void WaiterList::unlink(Waiter& waiter) noexcept {
  Chain& chain = chain_for(waiter.wake_on_);
  if (waiter.previous_ != nullptr) waiter.previous_->next_ = waiter.next_;
  else chain.first = waiter.next_;
  if (waiter.next_ != nullptr) waiter.next_->previous_ = waiter.previous_;
  else chain.last = waiter.previous_;
  waiter.previous_ = waiter.next_ = nullptr;
  waiter.listed_ = false;
  if (waiter.wake_on_ == WakeOn::release_or_interrupt) burst_waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

bool WaiterList::withdraw(Waiter& waiter) noexcept {
  const std::lock_guard lock(mutex_);
  if (!waiter.listed_) return false;
  unlink(waiter);
  return true;
}

bool WaiterList::wake_one_burst_waiter() noexcept {
  const std::lock_guard lock(mutex_);
  Waiter* first = burst_chain_.first;
  if (first == nullptr) return false;
  unlink(*first);
  first->wake();
  return true;
}

void WaiterList::wake_chain(Chain& chain) noexcept {
  for (Waiter* waiter = std::exchange(chain.first, nullptr); waiter != nullptr;) {
    Waiter* next = std::exchange(waiter->next_, nullptr);
    waiter->previous_ = nullptr;
    waiter->listed_ = false;
    waiter->wake();
    waiter = next;
  }
  chain.last = nullptr;
}

void WaiterList::wake_all() noexcept {
  const std::lock_guard lock(mutex_);
  wake_chain(burst_chain_);
  wake_chain(window_chain_);
  burst_waiters_.store(0, std::memory_order_seq_cst);
}

bool WaiterList::claim_polling() noexcept {
  bool present = false;
  // Sequentially consistent, for the pairing described at polling_vacant.
  return poller_present_.compare_exchange_strong(present, true, std::memory_order_seq_cst,
                                                 std::memory_order_relaxed);
}

void WaiterList::resign_polling() noexcept {
  poller_present_.store(false, std::memory_order_seq_cst);
  if (has_burst_waiters()) wake_one_burst_waiter();
}

void WaiterList::forget_all_in_child() noexcept {
  // The waiters belonged to threads and jobs the child does not have; their
  // memory is never touched again, nor the poll role of their admissions.
  burst_chain_ = {};
  window_chain_ = {};
  burst_waiters_.store(0, std::memory_order_relaxed);
  poller_present_.store(false, std::memory_order_relaxed);
}

bool sleep_needed(const LimiterCore& core, WakeOn wake_on) noexcept {
  if (core.interrupted()) return false;
  if (wake_on == WakeOn::interrupt_only) return true;
  if (core.waiters().polling_vacant()) return false;
  // Sequentially consistent, the other half of the pairing in burst.cpp.
  return core.burst_in_use().load(std::memory_order_seq_cst) >= core.max_burst().value_or(0);
}

WaitEnrolment::WaitEnrolment(const LimiterCore& core, Waiter& waiter, WakeOn wake_on) noexcept
    : core_(core), waiter_(waiter), wake_on_(wake_on) {
  core_.waiters().enlist(waiter_, wake_on);
}

WaitEnrolment::~WaitEnrolment() {
  WaiterList& list = core_.waiters();
  const bool woken = !list.withdraw(waiter_);
  // Woken by the interrupt flag, everyone is awake already. A wake for a
  // release in a shared home that no waiter here can use goes to another
  // process.
  if (woken && !will_try_again_ && wake_on_ == WakeOn::release_or_interrupt && !core_.interrupted() &&
      !list.wake_one_burst_waiter() && core_.home() != nullptr) {
    core_.home()->pass_release_on();
  }
}

}  // namespace quellgate::engine
