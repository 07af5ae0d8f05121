#pragma once
#include "frame/error.hpp"
#include "executor/forced_unwind.hpp"
#include "frame/gil.hpp"

namespace quellgate {

namespace detail {
// Raises the body's error (normalised) and returns NULL, or hands the result over.
PyObject* finish(Result<PyRef>&& result);
// Inside a catch block: turns the fault being handled into PanicException.
// A second fault while converting the first stops the process.
PyObject* raise_current_fault();
// Not noexcept: sys.unraisablehook is Python code, and may give up the lock.
void report_unraisable_pending();
}  // namespace detail

// The one way in from the interpreter: counts this thread's lock depth,
// releases the references dropped before and during the body, and turns an
// error value or a fault of the body into the Python exception. `body`
// returns Result<PyRef>.
//
// Not noexcept: during interpreter finalisation CPython ends threads that
// retake the lock with pthread_exit, and that forced unwind must pass.
template <class Body>
PyObject* boundary(Body&& body) {
  try {
    gil::EntryScope entry;
    return detail::finish(gil::releasing_around(entry, std::forward<Body>(body)));
  } catch (...) {
    if (executor::ending_the_thread()) throw;
    return detail::raise_current_fault();
  }
}

// The same for release paths (deallocation): nothing may propagate, so an
// error is reported as unraisable and the release completes.
template <class Body>
void release_boundary(Body&& body) {
  if (boundary([&]() -> Result<PyRef> {
        if (auto done = body(); !done) return std::unexpected(std::move(done.error()));
        return PyRef::borrow(Py_None);
      }) == nullptr) {
    detail::report_unraisable_pending();
  } else {
    Py_DecRef(Py_None);
  }
}

}  // namespace quellgate
