#pragma once
#include <cstdint>
#include <optional>
#include <span>

#include "frame/error.hpp"

namespace quellgate {

// What a callable that takes arguments accepts: names that may be given by
// position or keyword, the leading `required` of them mandatory.
struct Signature {
  const char* class_name;
  const char* function_name;
  std::span<const char* const> names;
  std::size_t required;
};

// Binds a positional tuple and a keyword dict (or NULL) to one borrowed
// object per parameter (NULL where absent), with the interpreter's wording
// for every mistake.
Result<void> bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// Conversions; a TypeError they produce is re-raised as
// "argument '<name>': ..." with the original's cause.
Result<std::optional<std::uint64_t>> to_optional_u64(PyObject* value, const char* name);
Result<bool> to_strict_bool(PyObject* value, const char* name, bool when_absent);

}  // namespace quellgate
