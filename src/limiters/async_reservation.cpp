// AsyncReservation: what AsyncRateLimiter.reserve() returns, for `async
// with`. __aenter__ and __aexit__ return Futures of the running loop, as the
// limiter's own do: decided at once on the loop's thread when nothing has to
// wait, or by a job.
#include <optional>

#include "bridge/bridge_start.hpp"
#include "bridge/ready_future.hpp"
#include "engine/burst.hpp"
#include "engine/settlement.hpp"
#include "executor/clock.hpp"
#include "frame/boundary.hpp"
#include "frame/class_factory.hpp"
#include "limiters/async_admission.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/limiter_object.hpp"
#include "limiters/reservation.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {
namespace {

constexpr const char* kClassName = "AsyncReservation";
PyTypeObject* async_reservation_cell = nullptr;

template <class Body>
PyObject* method(PyObject* self, Body&& body) {
  return boundary([&]() -> Result<PyRef> {
    auto reservation = reservation_of(self, async_reservation_cell, kClassName);
    if (!reservation) return std::unexpected(std::move(reservation.error()));
    return body(**reservation);
  });
}

struct Reserved {
  engine::BurstPermit permit;
  std::chrono::nanoseconds decided_at;
};

executor::Task<Result<std::optional<Reserved>>> reserve_in_job(engine::LimiterCore core, AdmissionRequest request) {
  std::chrono::nanoseconds decided_at{0};
  auto admitted = co_await admit_in_job(core, request, &decided_at);
  if (!admitted) co_return std::unexpected(std::move(admitted.error()));
  if (!*admitted) co_return std::nullopt;
  co_return std::optional<Reserved>(Reserved{std::move(**admitted), decided_at});
}

Result<PyRef> failed_to_acquire() { return error(value_error, "Failed to acquire permit"); }

// The block is entered once the Future has the reservation: a delivery that
// never lands (the Future was cancelled) leaves it waiting, its permit back.
Result<PyRef> enter_in_job(ReservationObject& reservation, PyObject* self) {
  const engine::LimiterCore& core = reservation.core;
  return bridge::bridge_start<std::optional<Reserved>>(
      reserve_in_job(core, reservation.request),
      [owner = PyRef::borrow(self)](std::optional<Reserved> reserved) mutable -> bridge::Outcome {
        if (!reserved) return std::unexpected(failed_to_acquire().error());
        auto& landed = *reinterpret_cast<ReservationObject*>(owner.get());
        landed.stage = ReservationObject::Stage::held;
        landed.decided_at = reserved->decided_at;
        return bridge::Delivery{std::move(owner), std::move(reserved->permit), nullptr};
      },
      core.max_burst() ? bridge::FutureKind::admission : bridge::FutureKind::stoppable, bridge::CallerContext::not_needed);
}

PyObject* enter(PyObject* self, PyObject*) {
  return method(self, [self](ReservationObject& reservation) -> Result<PyRef> {
    if (reservation.stage != ReservationObject::Stage::waiting) {
      return error(runtime_error, "a reservation is entered once");
    }
    const engine::LimiterCore& core = reservation.core;
    core.clear_interrupt();
    auto event_loop = bridge::loop_of_calling_thread();
    if (!event_loop) return event_loop;
    if (!*event_loop) return enter_in_job(reservation, self);
    std::chrono::nanoseconds decided_at{0};
    // `async with` reads the Future at once, so the permit is the block's
    // as soon as the Future is made.
    const auto admitted_now = [&](engine::BurstPermit permit) -> Result<PyRef> {
      auto future = bridge::completed_future(event_loop->get(), PyRef::borrow(self));
      if (!future) return future;  // the permit goes back here
      permit.hand_over();
      reservation.stage = ReservationObject::Stage::held;
      reservation.decided_at = decided_at;
      return future;
    };
    return first_attempt_on_loop(
        core, event_loop->get(), admitted_now, [&] { return enter_in_job(reservation, self); }, failed_to_acquire,
        reservation.request, &decided_at);
  });
}

// Leaving the block from a job: the release and the settlement awaited at
// the server, or made on the worker.
executor::Task<Result<bool>> leave_in_job(engine::LimiterCore core, std::chrono::nanoseconds decided_at,
                                          std::int64_t delta) {
  if (asks_a_server(core)) {
    if (core.max_burst()) co_await release_at_server(core);
    if (delta != 0) co_await settle_at_server(core, decided_at, delta);
    co_return false;
  }
  engine::release_burst(core);
  engine::settle(core, decided_at, executor::wall_now(), delta);
  co_return false;
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](ReservationObject& reservation) -> Result<PyRef> {
    if (auto ok = check_exit_arguments(kClassName, "__aexit__", args, kwargs); !ok) return std::unexpected(std::move(ok.error()));
    if (reservation.stage != ReservationObject::Stage::held) return error(runtime_error, "the reservation is not held");
    reservation.stage = ReservationObject::Stage::ended;
    const engine::LimiterCore& core = reservation.core;
    auto event_loop = bridge::loop_of_calling_thread();
    if (!event_loop) return event_loop;
    if (!*event_loop || asks_a_server(core)) {
      return bridge::bridge_start<bool>(leave_in_job(core, reservation.decided_at, reservation.delta()),
                                        [](bool) -> bridge::Outcome {
                                          return bridge::Delivery{PyRef::borrow(Py_False), std::nullopt, nullptr};
                                        });
    }
    // A release that finds a shared segment's lock held is owed, and the
    // home makes it once the lock is let go.
    engine::release_burst(core);
    (void)lock_was_busy(core);
    engine::settle(core, reservation.decided_at, executor::wall_now(), reservation.delta());
    return bridge::shared_completed_future(event_loop->get(), bridge::SharedResult::false_value);
  });
}

PyObject* settle(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](ReservationObject& reservation) { return record_settlement(reservation, kClassName, args, kwargs); });
}

PyMethodDef methods[] = {
    {"__aenter__", as_method(enter), METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", as_method(exit), METH_VARARGS | METH_KEYWORDS, "__aexit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"settle", as_method(settle), METH_VARARGS | METH_KEYWORDS, "settle($self, actual)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition definition = {
    kClassName, "builtins.AsyncReservation", "()", refuse_construction, nullptr,
    release_reservation, methods, sizeof(ReservationObject),
};

}  // namespace

Result<PyTypeObject*> async_reservation_class() { return class_in_cell(async_reservation_cell, definition); }

Result<PyRef> reserve_on_loop(const engine::LimiterCore& core, PyObject* args, PyObject* kwargs) {
  auto request = bind_request(core, "AsyncRateLimiter", "reserve", args, kwargs, /*cost_required=*/true);
  if (!request) return std::unexpected(std::move(request.error()));
  auto type = async_reservation_class();
  if (!type) return std::unexpected(std::move(type.error()));
  return make_reservation(*type, core, *request);
}

}  // namespace quellgate
