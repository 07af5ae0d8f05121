// limiter[key]: a view is another instance of the limiter's class, holding
// the core that counts for the key (engine::LimiterCore::for_key), so it has
// every method and protocol of its limiter for nothing.
#include <string>
#include <string_view>

#include "limiters/limiter_object.hpp"

namespace quellgate {
namespace {

constexpr Py_ssize_t kMaxKeyBytes = 256;

// The key's UTF-8 bytes, owned by the returned bytes object.
Result<PyRef> key_bytes(PyObject* key) {
  if (!PyUnicode_Check(key)) return std::unexpected(type_check_error(key, "str"));
  PyObject* utf8 = PyUnicode_AsUTF8String(key);
  if (utf8 == nullptr) {
    // A lone surrogate has no UTF-8 form: a bad value, not a bad type.
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) == 0) return take_pending();
    PyErr_Clear();
    return error(value_error, "a key must be valid Unicode: it holds a surrogate");
  }
  PyRef owned = PyRef::steal(utf8);
  const Py_ssize_t size = PyBytes_Size(utf8);
  if (size < 1 || size > kMaxKeyBytes) {
    return error(value_error, "a key must be 1 to 256 bytes in UTF-8, not " + std::to_string(size));
  }
  return owned;
}

}  // namespace

PyObject* limiter_key_view(PyObject* self, PyObject* key, PyTypeObject* type, const char* class_name) {
  return limiter_method(self, type, class_name, [&](const engine::LimiterCore& core) -> Result<PyRef> {
    if (core.is_key_view()) {
      return error(type_error, std::string("a key's view takes no further key: index the ") + class_name + " itself");
    }
    auto bytes = key_bytes(key);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    const std::string_view view(PyBytes_AsString(bytes->get()), static_cast<std::size_t>(PyBytes_Size(bytes->get())));
    std::optional<engine::LimiterCore> keyed = core.for_key(view);
    if (!keyed) return error(type_error, std::string("this ") + class_name + "'s storage keeps no keys");
    auto instance = allocate_instance(Py_TYPE(self), std::move(*keyed));
    if (!instance) return instance;
    Py_IncRef(key);
    reinterpret_cast<LimiterObject*>(instance->get())->key = key;
    return instance;
  });
}

PyObject* limiter_repr(PyObject* self, const char* class_name) {
  PyObject* key = reinterpret_cast<LimiterObject*>(self)->key;
  if (key == nullptr) return PyUnicode_FromFormat("<%s object at %p>", class_name, static_cast<void*>(self));
  return PyUnicode_FromFormat("<%s view of key %R at %p>", class_name, key, static_cast<void*>(self));
}

}  // namespace quellgate
