#include "frame/class_factory.hpp"

#include <string>

namespace quellgate {

Result<PyTypeObject*> create_class(const ClassDefinition& definition) {
  const std::string doc = std::string(definition.name) + definition.constructor_signature + "\n--\n\n";
  if (doc.find('\0') != std::string::npos) return error(value_error, "class doc cannot contain nul bytes");
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_new, reinterpret_cast<void*>(definition.construct)},
      {Py_tp_call, reinterpret_cast<void*>(definition.call)},
      {Py_tp_methods, definition.methods},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(definition.release)},
      {0, nullptr},
      {0, nullptr},
      {0, nullptr},
  };
  // The optional slots take the places left at the end, before the last.
  std::size_t next = 6;
  if (definition.subscript != nullptr) slots[next++] = {Py_mp_subscript, reinterpret_cast<void*>(definition.subscript)};
  if (definition.repr != nullptr) slots[next++] = {Py_tp_repr, reinterpret_cast<void*>(definition.repr)};
  PyType_Spec spec = {definition.qualified_name, definition.instance_size, 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return take_pending();
  return reinterpret_cast<PyTypeObject*>(type);
}

Result<PyTypeObject*> class_in_cell(PyTypeObject*& cell, const ClassDefinition& definition) {
  if (cell == nullptr) {
    auto created = create_class(definition);
    if (!created) return created;
    cell = *created;
  }
  return cell;
}

}  // namespace quellgate
