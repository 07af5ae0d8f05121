// Signal handlers run on the interpreter's main thread: the one that
// initialised it (here the test environment's), whichever thread asks first.
#include "limiters/interpreter_main_thread.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "embedded_interpreter.hpp"
#include "frame/gil.hpp"

namespace quellgate {
namespace {

bool on_interpreter_main_thread() {
  return gil::with_gil([] {
    const Result<unsigned long> main_thread = interpreter_main_thread();
    return main_thread && *main_thread == PyThread_get_thread_ident();
  });
}

TEST(InterpreterMainThreadTest, IsTheThreadThatInitialisedTheInterpreterAndNoOther) {
  testing::run_python("import threading");  // as the interpreter's main thread
  bool on_other_thread = true;
  std::thread([&] { on_other_thread = on_interpreter_main_thread(); }).join();
  EXPECT_FALSE(on_other_thread);
  EXPECT_TRUE(on_interpreter_main_thread());
}

}  // namespace
}  // namespace quellgate
