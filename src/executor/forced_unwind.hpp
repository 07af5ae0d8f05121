#pragma once
#include <exception>

namespace quellgate::executor {

// glibc ends a thread (pthread_exit, pthread_cancel; CPython ends threads that
// retake the interpreter lock during finalisation this way) by unwinding it
// with abi::__forced_unwind, an exception foreign to C++. A `catch (...)`
// that swallows it aborts the process, so every one rethrows it.
//
// Call only inside a catch (...) block: true when what is being handled is
// that unwind. libstdc++ gives no exception_ptr for a foreign exception. This
// test is used instead of `catch (abi::__forced_unwind&)`, which binds a
// reference to the null object the runtime hands out for it: UBSan reports
// that, and no attribute can silence the check once the catch is inlined.
inline bool ending_the_thread() noexcept { return !std::current_exception(); }

}  // namespace quellgate::executor
