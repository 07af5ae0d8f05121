#pragma once
// What one admission asks for beyond the limiter's own configuration: its
// cost, and whether and how long a refusal may wait (acquire's `cost` and
// `timeout`). Read from the call's arguments once, so the thread and job
// drivers below take it as it is.
#include <chrono>
#include <cstdint>
#include <optional>

#include "engine/admission.hpp"
#include "engine/limiter_core.hpp"
#include "frame/error.hpp"

namespace quellgate {

struct AdmissionRequest {
  std::uint64_t cost = 1;
  // Whether a refusal waits; unset follows the limiter's `blocking`.
  std::optional<bool> waits;
  // For a wait: how long it may last from its start; unset, without end.
  std::optional<std::chrono::nanoseconds> timeout;

  bool waits_on(const engine::LimiterCore& core) const noexcept { return waits.value_or(core.blocking()); }
};

// The default request: cost 1, waiting as the limiter says.
inline constexpr AdmissionRequest kPlainRequest{};

// Bounds a waiting admission's loop (made with the request's cost) by the
// request's timeout from now, on the executor's monotonic clock. Applied in
// place: a loop returned by value would copy its core.
void set_deadline_after(engine::AdmissionLoop& loop, std::chrono::nanoseconds timeout);
inline void bound_by_timeout(engine::AdmissionLoop& loop, const AdmissionRequest& request) {
  if (request.timeout) [[unlikely]] set_deadline_after(loop, *request.timeout);
}

// `cost` and `timeout` of acquire() and reserve(), borrowed and NULL where
// absent, validated against the limiter: cost an int from 1 to 2**63 - 1
// (bool refused: acquire(False) reads as threading's blocking flag), within
// every window's limit; timeout None or a real number of seconds >= 0.
Result<AdmissionRequest> request_from(const engine::LimiterCore& core, PyObject* cost, PyObject* timeout);

// The arguments of acquire(cost=1, timeout=None), or of reserve(cost,
// timeout=None) when `cost_required`, bound and read as request_from does.
Result<AdmissionRequest> bind_request(const engine::LimiterCore& core, const char* class_name, const char* method_name,
                                      PyObject* args, PyObject* kwargs, bool cost_required);

// Whether a call of METH_VARARGS | METH_KEYWORDS was given no argument.
// The interpreter passes its one empty tuple then: once seen, it is known
// by its address, which spares acquire() a call into the interpreter.
bool is_empty_tuple(PyObject* args) noexcept;
extern PyObject* known_empty_tuple;  // a held reference; set with the interpreter lock held
inline bool no_arguments(PyObject* args, PyObject* kwargs) noexcept {
  if (kwargs != nullptr) return false;
  if (args == known_empty_tuple) [[likely]] return true;
  return is_empty_tuple(args);
}

// An int >= `minimum` (and at most 2**63 - 1) for the argument `name`; bool refused.
Result<std::uint64_t> count_argument(PyObject* value, const char* name, std::uint64_t minimum);

}  // namespace quellgate
