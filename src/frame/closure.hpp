#pragma once
#include <memory>

#include "frame/error.hpp"

namespace quellgate {

// The state behind a decorator wrapper: whatever it needs to run one call.
//
// A closure that holds Python references overrides traverse and clear, so
// the cyclic collector can see through the wrapper: `self.get = limiter(
// self._get)` makes a cycle through it that only a collection can free.
// clear() runs with the lock held but may come while a call of this closure
// waits on another thread with the lock given up, so call() takes its own
// references first and treats cleared state as an error, never a crash.
class Closure {
 public:
  virtual ~Closure() = default;
  virtual Result<PyRef> call(PyObject* args, PyObject* kwargs) = 0;
  // Visits every Python object this closure owns; 0 or visit's first non-0.
  virtual int traverse(visitproc, void*) const { return 0; }
  // Drops every Python object this closure owns, at once (not deferred).
  virtual void clear() {}
};

// tp_traverse's step for one owned reference.
inline int visit_reference(const PyRef& reference, visitproc visit, void* arg) {
  return reference ? visit(reference.get(), arg) : 0;
}

// tp_clear's step for one owned reference: emptied first, then released at
// once, as Py_CLEAR does; the collector counts on the release.
void clear_reference(PyRef& reference);

// "RuntimeError: the decorated function was cleared by the garbage collector"
PyError cleared_closure_error();

// A built-in function named "pyo3-closure" whose __self__ owns `state`: an
// object of a collector-tracked class that traverses and clears it. For the
// module's own callbacks, which nobody introspects; what a decorator returns
// is made by make_decorated_function (decorated_function.hpp).
Result<PyRef> make_closure(std::unique_ptr<Closure> state);

}  // namespace quellgate
