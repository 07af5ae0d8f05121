#pragma once
#include <exception>
#include <optional>
#include <string>

namespace quellgate::executor {

// Why a job produced no value.
struct JobFailure {
  enum class Kind { panicked, cancelled };
  Kind kind;
  // For `panicked`: what() of the std::exception that ended the job; none
  // when something else was thrown.
  std::optional<std::string> message;

  static JobFailure cancelled() { return JobFailure{Kind::cancelled, std::nullopt}; }
  static JobFailure panicked(const std::exception_ptr& error);
};

}  // namespace quellgate::executor
