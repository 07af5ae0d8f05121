#pragma once
#include <memory>

#include "frame/error.hpp"

namespace quellgate {

// The state behind a decorator wrapper: whatever it needs to run one call.
class Closure {
 public:
  virtual ~Closure() = default;
  virtual Result<PyRef> call(PyObject* args, PyObject* kwargs) = 0;
};

// A built-in function named "pyo3-closure" that owns `state` through a
// capsule and hands every call's arguments to it unchanged.
Result<PyRef> make_closure(std::unique_ptr<Closure> state);

}  // namespace quellgate
