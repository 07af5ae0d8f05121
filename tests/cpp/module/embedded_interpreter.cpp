#include "embedded_interpreter.hpp"

#include <gtest/gtest.h>

#include "frame/gil.hpp"
#include "frame/handle.hpp"

extern "C" PyObject* PyInit_quellgate();

namespace quellgate::testing {
namespace {

// Runs `_code` in its own namespace and turns whatever it raised into text, so
// that no error is left pending in the interpreter.
constexpr const char* kRunner = R"(
try:
    _namespace = {}
    exec(_code, _namespace)
    result = str(_namespace.get("result", "<no result>"))
except BaseException as error:
    result = "raised: %s: %s" % (type(error).__name__, error)
)";

class EmbeddedInterpreter final : public ::testing::Environment {
 public:
  void SetUp() override {
    // Plain malloc, so that LeakSanitizer sees every object's memory.
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    ASSERT_FALSE(PyStatus_Exception(Py_PreInitialize(&preconfig)));
    ASSERT_EQ(PyImport_AppendInittab("quellgate", PyInit_quellgate), 0);
    Py_InitializeEx(0);  // leaves SIGINT to the test runner
    // Tests and their threads take the lock as they need it.
    PyEval_SaveThread();
  }
};

// Never finalised: worker threads outlive every test, as they outlive
// everything in a real process.
[[maybe_unused]] ::testing::Environment* const interpreter =
    ::testing::AddGlobalTestEnvironment(new EmbeddedInterpreter);

}  // namespace

std::string run_python(const std::string& statements) {
  return gil::with_gil([&]() -> std::string {
    PyRef globals = PyRef::steal(PyDict_New());
    PyRef code = PyRef::steal(PyUnicode_FromStringAndSize(statements.data(), static_cast<Py_ssize_t>(statements.size())));
    if (!globals || !code || PyDict_SetItemString(globals.get(), "_code", code.get()) != 0) return "<setup failed>";
    PyRef ran = PyRef::steal(PyRun_String(kRunner, Py_file_input, globals.get(), globals.get()));
    PyObject* result = PyDict_GetItemString(globals.get(), "result");  // borrowed
    const char* text = ran && result != nullptr ? PyUnicode_AsUTF8(result) : nullptr;
    if (text == nullptr) PyErr_Clear();
    return text != nullptr ? text : "<the runner itself failed>";
  });
}

}  // namespace quellgate::testing
