#include "frame/closure.hpp"

#include "frame/boundary.hpp"

namespace quellgate {
namespace {

constexpr const char* kClosureName = "pyo3-closure";

Closure* closure_of(PyObject* capsule) {
  return static_cast<Closure*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

PyObject* call_closure(PyObject* capsule, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return closure_of(capsule)->call(args, kwargs); });
}

void destroy_closure(PyObject* capsule) {
  release_boundary([&]() -> Result<void> {
    delete closure_of(capsule);
    return {};
  });
}

PyMethodDef closure_method = {kClosureName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_closure)),
                              METH_VARARGS | METH_KEYWORDS, ""};

}  // namespace

Result<PyRef> make_closure(std::unique_ptr<Closure> state) {
  auto capsule = owned_or_pending(PyCapsule_New(state.get(), kClosureName, destroy_closure));
  if (!capsule) return capsule;
  state.release();  // the capsule owns it now
  return owned_or_pending(PyCFunction_NewEx(&closure_method, capsule->get(), nullptr));
}

}  // namespace quellgate
