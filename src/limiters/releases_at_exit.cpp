#include "limiters/releases_at_exit.hpp"

#include "frame/boundary.hpp"
#include "frame/class_factory.hpp"
#include "frame/gil.hpp"
#include "homes/redis_home.hpp"

namespace quellgate {
namespace {

PyObject* finish_releases(PyObject*, PyObject*) {
  return boundary([]() -> Result<PyRef> {
    (void)gil::without_gil([] {
      homes::finish_redis_releases();
      return true;
    });
    return PyRef::borrow(Py_None);
  });
}

PyMethodDef finish_releases_definition = {"_finish_redis_releases", as_method(finish_releases), METH_NOARGS,
                                          "Sends the releases still on their way to a Redis server.\n"};

bool registered = false;  // guarded by the interpreter lock

}  // namespace

Result<void> send_releases_at_exit() {
  if (registered) return {};
  auto function = owned_or_pending(PyCFunction_New(&finish_releases_definition, nullptr));
  if (!function) return std::unexpected(std::move(function.error()));
  auto atexit = owned_or_pending(PyImport_ImportModule("atexit"));
  if (!atexit) return std::unexpected(std::move(atexit.error()));
  auto done = owned_or_pending(PyObject_CallMethod(atexit->get(), "register", "O", function->get()));
  if (!done) return std::unexpected(std::move(done.error()));
  registered = true;
  return {};
}

}  // namespace quellgate
