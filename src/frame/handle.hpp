#pragma once
#include <utility>

#include "frame/python.hpp"

namespace quellgate {

// Gives up one strong reference without running any Python code: the
// release happens at the next release_dropped (gil.hpp), at the end of
// this thread's boundary entry or lock acquisition (or, dropped without the
// lock, on the next thread to enter). Releasing at once would run finalisers
// inside destructors, where the unwind that ends a thread during interpreter
// finalisation cannot pass.
void drop_reference(PyObject* object) noexcept;

// One owned strong reference. Moving transfers ownership; the reference is
// dropped exactly once, on whatever thread the handle dies.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Only with the interpreter lock held: the new reference is taken at once.
  static PyRef borrow(PyObject* object) noexcept {
    Py_IncRef(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  // A second owner of the same object; interpreter lock required.
  PyRef clone() const noexcept { return borrow(object_); }
  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (usually the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset(PyObject* object = nullptr) noexcept {
    if (PyObject* old = std::exchange(object_, object)) drop_reference(old);
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quellgate
