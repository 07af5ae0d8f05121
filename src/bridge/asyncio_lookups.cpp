#include "bridge/asyncio_lookups.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "frame/fault.hpp"

namespace quellgate::bridge {
namespace {

Result<PyObject*> import_once(PyObject*& cell, const char* name) {
  if (cell == nullptr) {
    PyObject* module = PyImport_ImportModule(name);
    if (module == nullptr) return take_pending();
    cell = module;
  }
  return cell;
}

Result<PyObject*> attribute_once(PyObject*& cell, Result<PyObject*> owner, const char* name) {
  if (cell == nullptr) {
    if (!owner) return owner;
    PyObject* attribute = PyObject_GetAttrString(*owner, name);
    if (attribute == nullptr) return take_pending();
    cell = attribute;
  }
  return cell;
}

// Cells: filled once under the interpreter lock, never released.
PyObject* asyncio_cell = nullptr;
PyObject* get_running_loop_cell = nullptr;
PyObject* ensure_future_cell = nullptr;
PyObject* contextvars_cell = nullptr;

}  // namespace

Result<PyObject*> asyncio_module() { return import_once(asyncio_cell, "asyncio"); }
Result<PyObject*> contextvars_module() { return import_once(contextvars_cell, "contextvars"); }
Result<PyObject*> get_running_loop_function() {
  return attribute_once(get_running_loop_cell, asyncio_module(), "get_running_loop");
}
Result<PyObject*> ensure_future_function() { return attribute_once(ensure_future_cell, asyncio_module(), "ensure_future"); }

bool interpreter_at_least_3(int minor) {
  // "3.13.0 (main, ...": the minor version after the first dot. Written once
  // under the interpreter lock; the same value every time.
  static const int running_minor = std::atoi(std::strchr(Py_GetVersion(), '.') + 1);
  return running_minor >= minor;
}

void print_error(PyError failure) {
  std::move(failure).restore();
  PyErr_PrintEx(1);
}

PyObject* interned_name(const char* literal) {
  // Guarded by the interpreter lock. Looked up by the literal's address, the
  // common case; the same text at another address (another translation unit,
  // or a sanitizer build, which keeps equal literals apart) is found by its
  // content and its address added, so the table holds each name once however
  // many call sites use it. Never destroyed: workers may still look names up
  // while the process runs its static destructors.
  static auto* names = new std::vector<std::pair<const char*, PyObject*>>();
  for (const auto& [key, name] : *names) {
    if (key == literal) return name;
  }
  for (const auto& [key, name] : *names) {
    if (std::strcmp(key, literal) == 0) {
      PyObject* same = name;
      names->emplace_back(literal, same);
      return same;
    }
  }
  PyObject* name = PyUnicode_InternFromString(literal);
  if (name == nullptr) api_call_failed();
  names->emplace_back(literal, name);
  return name;
}

Result<PyObject*> no_context_kwargs() {
  static PyObject* kwargs = nullptr;  // filled once under the interpreter lock
  if (kwargs == nullptr) {
    auto dict = owned_or_pending(PyDict_New());
    if (!dict) return std::unexpected(std::move(dict.error()));
    if (PyDict_SetItemString(dict->get(), "context", Py_None) != 0) return take_pending();
    kwargs = dict->release();
  }
  return kwargs;
}

Result<PyRef> call_method(PyObject* object, const char* literal, PyObject* args, PyObject* kwargs) {
  PyObject* name = interned_name(literal);
  if (args == nullptr && kwargs == nullptr) return owned_or_pending(PyObject_CallMethodObjArgs(object, name, nullptr));
  auto method = owned_or_pending(PyObject_GetAttr(object, name));
  if (!method) return method;
  PyRef no_args;
  if (args == nullptr) {
    auto created = empty_tuple();
    if (!created) return created;
    no_args = std::move(*created);
    args = no_args.get();
  }
  return owned_or_pending(PyObject_Call(method->get(), args, kwargs));
}

Result<PyRef> call_method_one(PyObject* object, const char* literal, PyObject* argument) {
  return owned_or_pending(PyObject_CallMethodObjArgs(object, interned_name(literal), argument, nullptr));
}

Result<PyRef> empty_tuple() { return owned_or_pending(PyTuple_New(0)); }

bool is_awaitable(PyObject* value) {
  if (PyObject* await = PyObject_GetAttr(value, interned_name("__await__"))) {
    Py_DecRef(await);
    return true;
  }
  PyErr_Clear();
  return false;
}

}  // namespace quellgate::bridge
