#include "frame/closure.hpp"

#include "frame/boundary.hpp"
#include "frame/fault.hpp"

namespace quellgate {
namespace {

constexpr const char* kClosureName = "pyo3-closure";

// The wrapper's __self__: owns one Closure and shows its references to the
// cyclic collector.
struct ClosureOwner {
  PyObject_HEAD
  Closure* state;  // owned; null once destroyed
};

ClosureOwner* owner_of(PyObject* self) { return reinterpret_cast<ClosureOwner*>(self); }

PyObject* call_closure(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return owner_of(self)->state->call(args, kwargs); });
}

int traverse_owner(PyObject* self, visitproc visit, void* arg) {
  // Instances of heap types hold a reference to their type.
  if (int failed = visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg)) return failed;
  Closure* state = owner_of(self)->state;
  return state != nullptr ? state->traverse(visit, arg) : 0;
}

int clear_owner(PyObject* self) {
  if (Closure* state = owner_of(self)->state) state->clear();
  return 0;
}

void release_owner(PyObject* self) {
  PyObject_GC_UnTrack(self);
  release_boundary([&]() -> Result<void> {
    PyTypeObject* type = Py_TYPE(self);
    delete std::exchange(owner_of(self)->state, nullptr);
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_memory == nullptr) fault("a collected class should have tp_free");
    free_memory(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
    return {};
  });
}

PyMethodDef closure_method = {kClosureName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_closure)),
                              METH_VARARGS | METH_KEYWORDS, ""};

PyTypeObject* owner_class = nullptr;  // made once under the interpreter lock, kept

Result<PyTypeObject*> closure_owner_class() {
  if (owner_class != nullptr) return owner_class;
  PyType_Slot slots[] = {
      {Py_tp_traverse, reinterpret_cast<void*>(traverse_owner)},
      {Py_tp_clear, reinterpret_cast<void*>(clear_owner)},
      {Py_tp_dealloc, reinterpret_cast<void*>(release_owner)},
      {0, nullptr},
  };
  PyType_Spec spec = {"builtins.ClosureState", sizeof(ClosureOwner), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return take_pending();
  owner_class = reinterpret_cast<PyTypeObject*>(type);
  return owner_class;
}

}  // namespace

void clear_reference(PyRef& reference) {
  if (PyObject* object = reference.release()) Py_DecRef(object);
}

PyError cleared_closure_error() {
  return PyError::deferred(runtime_error, "the decorated function was cleared by the garbage collector");
}

Result<PyRef> make_closure(std::unique_ptr<Closure> state) {
  auto type = closure_owner_class();
  if (!type) return std::unexpected(std::move(type.error()));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(*type, Py_tp_alloc));
  if (alloc == nullptr) fault("a collected class should have tp_alloc");
  // Allocation tracks the object; its state is null until set below, which
  // traverse and clear allow for.
  auto owner = owned_or_pending(alloc(*type, 0));
  if (!owner) return owner;
  owner_of(owner->get())->state = state.release();
  return owned_or_pending(PyCFunction_NewEx(&closure_method, owner->get(), nullptr));
}

}  // namespace quellgate
