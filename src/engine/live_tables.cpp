#include "engine/live_tables.hpp"

#include <mutex>

#include "engine/window_table.hpp"

namespace quellgate::engine {
namespace {

// Lock order: the registry's lock, then tables' locks in list order. No code
// takes the registry's lock while holding a table's lock.
std::mutex registry_lock;
WindowTable* newest = nullptr;  // head of the intrusive list; guarded by registry_lock

}  // namespace

void LiveTables::add(WindowTable& table) noexcept {
  const std::lock_guard lock(registry_lock);
  table.older_ = newest;
  if (newest != nullptr) newest->newer_ = &table;
  newest = &table;
}

void LiveTables::remove(WindowTable& table) noexcept {
  const std::lock_guard lock(registry_lock);
  if (table.older_ != nullptr) table.older_->newer_ = table.newer_;
  if (table.newer_ != nullptr) table.newer_->older_ = table.older_;
  if (newest == &table) newest = table.older_;
}

void LiveTables::hold_all() noexcept {
  registry_lock.lock();
  for (WindowTable* table = newest; table != nullptr; table = table->older_) table->mutex_.lock();
}

void LiveTables::release_all() noexcept {
  for (WindowTable* table = newest; table != nullptr; table = table->older_) table->mutex_.unlock();
  registry_lock.unlock();
}

}  // namespace quellgate::engine
