#include "frame/fault.hpp"

#include <cstdio>
#include <cxxabi.h>

#include <exception>

#include "executor/thread_name.hpp"
#include "frame/python.hpp"

namespace quellgate {
namespace {

void report(const char* message) {
  std::fprintf(stderr, "thread '%s' panicked: %s\n", executor::current_thread_name().c_str(), message);
}

}  // namespace

void fault(std::string message) {
  report(message.c_str());
  throw InternalFault(std::move(message));
}

void fault_without_message() {
  report("Box<dyn Any>");
  throw InternalFault(std::nullopt);
}

std::optional<std::string> fault_message_of_current_exception() {
  try {
    throw;
  } catch (const InternalFault& f) {
    return f.message();
  } catch (const std::exception& e) {
    report(e.what());
    return std::string(e.what());
  } catch (...) {
    report("Box<dyn Any>");
    return std::nullopt;
  }
}

void api_call_failed() {
  PyErr_Print();
  fault("Python API call failed");
}

}  // namespace quellgate
