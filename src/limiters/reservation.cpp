// Reservation: what RateLimiter.reserve() returns, for `with`.
#include "limiters/reservation.hpp"

#include <array>
#include <new>

#include "engine/settlement.hpp"
#include "executor/clock.hpp"
#include "frame/binding.hpp"
#include "frame/boundary.hpp"
#include "frame/class_factory.hpp"
#include "frame/fault.hpp"
#include "frame/gil.hpp"
#include "limiters/blocking_admission.hpp"
#include "limiters/limiter_object.hpp"
#include "limiters/release_on_thread.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {
namespace {

constexpr const char* kClassName = "Reservation";
PyTypeObject* reservation_cell = nullptr;

template <class Body>
PyObject* method(PyObject* self, Body&& body) {
  return boundary([&]() -> Result<PyRef> {
    auto reservation = reservation_of(self, reservation_cell, kClassName);
    if (!reservation) return std::unexpected(std::move(reservation.error()));
    return body(**reservation);
  });
}

// A reservation is entered once; after a refusal it may be entered again.
PyObject* enter(PyObject* self, PyObject*) {
  return method(self, [self](ReservationObject& reservation) -> Result<PyRef> {
    if (reservation.stage != ReservationObject::Stage::waiting) {
      return error(runtime_error, "a reservation is entered once");
    }
    std::chrono::nanoseconds decided_at{0};
    auto admitted = admit_on_this_thread(reservation.core, reservation.request, &decided_at);
    if (!admitted) return std::unexpected(std::move(admitted.error()));
    if (!*admitted) return error(value_error, "Failed to acquire permit");
    reservation.stage = ReservationObject::Stage::held;
    reservation.decided_at = decided_at;
    return PyRef::borrow(self);
  });
}

// The settlement from a thread: a server is asked with the lock released.
void settle_on_this_thread(const engine::LimiterCore& core, std::chrono::nanoseconds decided_at, std::int64_t delta) {
  if (delta == 0) return;
  if (asks_a_server(core)) {
    (void)gil::without_gil([&] {
      engine::settle(core, decided_at, executor::wall_now(), delta);
      return true;
    });
    return;
  }
  engine::settle(core, decided_at, executor::wall_now(), delta);
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](ReservationObject& reservation) -> Result<PyRef> {
    if (auto ok = check_exit_arguments(kClassName, "__exit__", args, kwargs); !ok) return std::unexpected(std::move(ok.error()));
    if (reservation.stage != ReservationObject::Stage::held) return error(runtime_error, "the reservation is not held");
    reservation.stage = ReservationObject::Stage::ended;
    // The permit goes back first, as leaving a limiter's own block does; a
    // release that gave up waiting for a held lock stays owed, and the
    // settlement is made all the same.
    auto released = release_on_this_thread(reservation.core);
    settle_on_this_thread(reservation.core, reservation.decided_at, reservation.delta());
    if (!released) return std::unexpected(std::move(released.error()));
    return PyRef::borrow(Py_False);
  });
}

PyObject* settle(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](ReservationObject& reservation) { return record_settlement(reservation, kClassName, args, kwargs); });
}

PyMethodDef methods[] = {
    {"__enter__", as_method(enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(exit), METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"settle", as_method(settle), METH_VARARGS | METH_KEYWORDS, "settle($self, actual)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition definition = {
    kClassName, "builtins.Reservation", "()", refuse_construction, nullptr,
    release_reservation, methods, sizeof(ReservationObject),
};

}  // namespace

Result<ReservationObject*> reservation_of(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (type == nullptr || (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type))) {
    return std::unexpected(type_check_error(self, class_name));
  }
  return reinterpret_cast<ReservationObject*>(self);
}

Result<PyRef> make_reservation(PyTypeObject* type, const engine::LimiterCore& core, AdmissionRequest request) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return take_pending();
  auto* reservation = reinterpret_cast<ReservationObject*>(self);
  new (&reservation->core) engine::LimiterCore(core);
  reservation->request = request;
  reservation->stage = ReservationObject::Stage::waiting;
  reservation->decided_at = std::chrono::nanoseconds{0};
  new (&reservation->actual) std::optional<std::uint64_t>();
  return PyRef::steal(self);
}

Result<PyRef> record_settlement(ReservationObject& reservation, const char* class_name, PyObject* args,
                                PyObject* kwargs) {
  static constexpr std::array<const char*, 1> names = {"actual"};
  std::array<PyObject*, 1> bound{};
  if (auto ok = bind_arguments({class_name, "settle", names, 1}, args, kwargs, bound); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  auto actual = count_argument(bound[0], "actual", 0);
  if (!actual) return std::unexpected(std::move(actual.error()));
  if (reservation.stage == ReservationObject::Stage::ended) {
    return error(runtime_error, "settle() after the reservation's block ended");
  }
  reservation.actual = *actual;
  return PyRef::borrow(Py_None);
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  return boundary([&]() -> Result<PyRef> {
    return error(type_error, "cannot create '" + display(reinterpret_cast<PyObject*>(type)) +
                                 "' instances: reserve() on a limiter makes them");
  });
}

void release_reservation(PyObject* self) {
  release_boundary([&]() -> Result<void> {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<ReservationObject*>(self)->core.~LimiterCore();
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_memory == nullptr) fault("PyBaseObject_Type should have tp_free");
    free_memory(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
    return {};
  });
}

Result<PyTypeObject*> reservation_class() { return class_in_cell(reservation_cell, definition); }

Result<PyRef> reserve_on_thread(const engine::LimiterCore& core, PyObject* args, PyObject* kwargs) {
  auto request = bind_request(core, "RateLimiter", "reserve", args, kwargs, /*cost_required=*/true);
  if (!request) return std::unexpected(std::move(request.error()));
  auto type = reservation_class();
  if (!type) return std::unexpected(std::move(type.error()));
  return make_reservation(*type, core, *request);
}

}  // namespace quellgate
