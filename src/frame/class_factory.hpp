#pragma once
#include "frame/error.hpp"

namespace quellgate {

// One of the module's classes: a heap type that cannot be subclassed, with
// no instance dict and no weak references.
struct ClassDefinition {
  const char* name;
  // "builtins.<name>", a string literal: interpreters before 3.11 keep
  // pointing into the PyType_Spec name for as long as the type lives.
  const char* qualified_name;
  const char* constructor_signature;  // text signature, e.g. "(sec=None, ...)"
  newfunc construct;
  ternaryfunc call;
  destructor release;
  PyMethodDef* methods;
  int instance_size;
  binaryfunc subscript = nullptr;  // mp_subscript: obj[key]; none when null
  reprfunc repr = nullptr;         // none when null: object's own
};

// A C function of any method shape as the PyCFunction a PyMethodDef holds.
template <class F>
PyCFunction as_method(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

Result<PyTypeObject*> create_class(const ClassDefinition& definition);

// Gets a class from its process-wide cell, creating it on first use.
// Cells are only touched under the interpreter lock.
Result<PyTypeObject*> class_in_cell(PyTypeObject*& cell, const ClassDefinition& definition);

}  // namespace quellgate
