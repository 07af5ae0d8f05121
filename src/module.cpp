// The two entry points the interpreter calls when it loads this library:
// quellgate itself, and the companion module that holds RustPanic.
#include "frame/boundary.hpp"
#include "frame/class_factory.hpp"
#include "frame/classes.hpp"
#include "frame/fault.hpp"
#include "frame/gil.hpp"
#include "limiters/shared_limiter.hpp"
#include "limiters/storage_error.hpp"

namespace quellgate {
namespace {

std::string describe_exception(PyError failure) {
  PyRef value = std::move(failure).into_value();
  PyRef traceback = PyRef::steal(PyException_GetTraceback(value.get()));
  return "PyErr { type: " + display(reinterpret_cast<PyObject*>(Py_TYPE(value.get()))) + ", value: " + display(value.get()) +
         ", traceback: " + (traceback ? display(traceback.get()) : std::string("None")) + " }";
}

Result<PyRef> all_list(PyObject* module) {
  PyObject* existing = PyObject_GetAttrString(module, "__all__");
  if (existing != nullptr) {
    PyRef list = PyRef::steal(existing);
    if (!PyList_Check(list.get())) return std::unexpected(type_check_error(list.get(), "PyList"));
    return list;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return take_pending();
  PyErr_Clear();
  auto list = owned_or_pending(PyList_New(0));
  if (!list) return list;
  if (PyObject_SetAttrString(module, "__all__", list->get()) != 0) return take_pending();
  return list;
}

Result<void> add_to_module(PyObject* module, const char* name, PyObject* value) {
  auto key = owned_or_pending(PyUnicode_FromString(name));
  if (!key) return std::unexpected(std::move(key.error()));
  auto list = all_list(module);
  if (!list) return std::unexpected(std::move(list.error()));
  if (PyList_Append(list->get(), key->get()) != 0) {
    fault("could not append __name__ to __all__: " + describe_exception(take_pending_error()));
  }
  if (PyObject_SetAttr(module, key->get(), value) != 0) return take_pending();
  return {};
}

Result<void> quellgate_body(PyObject* module) {
  gil::note_interpreter_running();
  using ClassGetter = Result<PyTypeObject*> (*)();
  const std::pair<const char*, ClassGetter> classes[] = {{"RateLimiter", rate_limiter_class},
                                                         {"AsyncRateLimiter", async_rate_limiter_class}};
  for (auto [name, make] : classes) {
    auto type = make();
    if (!type) return std::unexpected(std::move(type.error()));
    if (auto added = add_to_module(module, name, reinterpret_cast<PyObject*>(*type)); !added) return added;
  }
  auto storage_error = make_storage_error_class();
  if (!storage_error) return std::unexpected(std::move(storage_error.error()));
  if (auto added = add_to_module(module, "StorageError", *storage_error); !added) return added;
  // Already set from the method table; named in __all__ beside the classes.
  auto remove = owned_or_pending(PyObject_GetAttrString(module, "remove_shared"));
  if (!remove) return std::unexpected(std::move(remove.error()));
  return add_to_module(module, "remove_shared", remove->get());
}

Result<void> async_runtimes_body(PyObject* module) {
  auto rust_panic = rust_panic_class();
  if (!rust_panic) return std::unexpected(std::move(rust_panic.error()));
  return add_to_module(module, "RustPanic", *rust_panic);
}

PyMethodDef quellgate_functions[] = {
    {"remove_shared", as_method(remove_shared), METH_VARARGS | METH_KEYWORDS,
     kRemoveSharedDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef quellgate_definition = {PyModuleDef_HEAD_INIT, "quellgate", "", 0, quellgate_functions, nullptr, nullptr, nullptr, nullptr};
PyModuleDef async_runtimes_definition = {PyModuleDef_HEAD_INIT, "pyo3_async_runtimes", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Single-phase initialisation, once per process: a second call (a re-import
// after removal from sys.modules, or a sub-interpreter) is refused.
PyObject* initialise(PyModuleDef& definition, PyObject*& cell, Result<void> (*body)(PyObject*)) {
  return boundary([&]() -> Result<PyRef> {
    if (cell != nullptr) {
      return error([] { return PyExc_ImportError; },
                   "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process");
    }
    auto module = owned_or_pending(PyModule_Create2(&definition, 3));
    if (!module) return module;
    if (auto built = body(module->get()); !built) return std::unexpected(std::move(built.error()));
    cell = module->clone().release();  // kept for the life of the process
    return module;
  });
}

PyObject* quellgate_cell = nullptr;
PyObject* async_runtimes_cell = nullptr;

}  // namespace

Result<PyObject*> rust_panic_class() {
  static PyObject* cell = nullptr;  // filled once, under the interpreter lock
  if (cell == nullptr) {
    cell = PyErr_NewExceptionWithDoc("pyo3_async_runtimes.RustPanic", nullptr, PyExc_Exception, nullptr);
    if (cell == nullptr) fault("Failed to initialize new exception type.: " + describe_exception(take_pending_error()));
  }
  return cell;
}

}  // namespace quellgate

PyMODINIT_FUNC PyInit_quellgate() {
  using namespace quellgate;
  return initialise(quellgate_definition, quellgate_cell, quellgate_body);
}

PyMODINIT_FUNC PyInit_pyo3_async_runtimes() {
  using namespace quellgate;
  return initialise(async_runtimes_definition, async_runtimes_cell, async_runtimes_body);
}
