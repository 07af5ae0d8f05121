#pragma once
#include <optional>
#include <string>

namespace quellgate {

// A broken invariant inside the module. It unwinds our own frames to the
// nearest interpreter boundary, where it becomes PanicException; it never
// crosses into the interpreter as a C++ exception.
class InternalFault {
 public:
  explicit InternalFault(std::optional<std::string> message) : message_(std::move(message)) {}
  const std::optional<std::string>& message() const noexcept { return message_; }

 private:
  std::optional<std::string> message_;
};

// Reports the fault on standard error (naming the thread) and throws it.
[[noreturn]] void fault(std::string message);
[[noreturn]] void fault_without_message();

// Inside a catch block: the message of the exception being handled. A fault
// of ours was reported when it was thrown; any other C++ exception (a
// std::exception from the executor, say) is reported here.
std::optional<std::string> fault_message_of_current_exception();

// An interpreter call that must succeed did not create its object.
[[noreturn]] void api_call_failed();

}  // namespace quellgate
