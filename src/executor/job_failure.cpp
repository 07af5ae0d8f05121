#include "executor/job_failure.hpp"

namespace quellgate::executor {

JobFailure JobFailure::panicked(const std::exception_ptr& error) {
  JobFailure failure{Kind::panicked, std::nullopt};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& exception) {
    failure.message = exception.what();
  } catch (...) {
  }
  return failure;
}

}  // namespace quellgate::executor
