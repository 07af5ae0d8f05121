#pragma once
// The objects reserve() returns: one admission of `cost` held for a block
// (`with` on RateLimiter's, `async with` on AsyncRateLimiter's), whose real
// cost settle() records; on leaving the block the burst permit goes back and
// the difference is applied to the windows the admission was counted in
// (engine/settlement.hpp). A reservation only needs the core it was made
// from, whatever home that core counts in.
#include <chrono>
#include <cstdint>
#include <optional>

#include "engine/limiter_core.hpp"
#include "frame/error.hpp"
#include "limiters/admission_request.hpp"

namespace quellgate {

struct ReservationObject {
  PyObject_HEAD
  engine::LimiterCore core;
  AdmissionRequest request;
  // Only touched with the interpreter lock held.
  enum class Stage : std::uint8_t { waiting, held, ended } stage;
  std::chrono::nanoseconds decided_at;
  std::optional<std::uint64_t> actual;  // the last settle()

  // What leaving the block applies: the real cost less the one admitted.
  std::int64_t delta() const noexcept {
    return actual ? static_cast<std::int64_t>(*actual) - static_cast<std::int64_t>(request.cost) : 0;
  }
};

// RateLimiter.reserve() and AsyncRateLimiter.reserve(): `cost` and
// `timeout` bound and checked, a reservation of the class's own type.
Result<PyRef> reserve_on_thread(const engine::LimiterCore& core, PyObject* args, PyObject* kwargs);
Result<PyRef> reserve_on_loop(const engine::LimiterCore& core, PyObject* args, PyObject* kwargs);

// The two types, made on first use.
Result<PyTypeObject*> reservation_class();
Result<PyTypeObject*> async_reservation_class();

// Shared by both types (reservation.cpp): a new instance, and its settle().
Result<PyRef> make_reservation(PyTypeObject* type, const engine::LimiterCore& core, AdmissionRequest request);
Result<PyRef> record_settlement(ReservationObject& reservation, const char* class_name, PyObject* args,
                                PyObject* kwargs);
// tp_new, which refuses: a reservation comes from reserve().
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void release_reservation(PyObject* self);
// The receiver as a reservation of `type`.
Result<ReservationObject*> reservation_of(PyObject* self, PyTypeObject* type, const char* class_name);

}  // namespace quellgate
