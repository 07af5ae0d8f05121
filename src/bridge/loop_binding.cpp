#include "bridge/loop_binding.hpp"

#include "bridge/asyncio_lookups.hpp"
#include "executor/job_local.hpp"
#include "executor/shared_executor.hpp"

namespace quellgate::bridge {

Result<std::shared_ptr<LoopBinding>> current_binding() {
  if (auto bound = executor::current_job_local()) return std::static_pointer_cast<LoopBinding>(bound);
  auto get_running_loop = get_running_loop_function();
  if (!get_running_loop) return std::unexpected(std::move(get_running_loop.error()));
  auto loop = owned_or_pending(PyObject_CallObject(*get_running_loop, nullptr));
  if (!loop) return std::unexpected(std::move(loop.error()));
  auto contextvars = contextvars_module();
  if (!contextvars) return std::unexpected(std::move(contextvars.error()));
  auto context = call_method(*contextvars, "copy_context");
  if (!context) return std::unexpected(std::move(context.error()));
  return std::make_shared<LoopBinding>(LoopBinding{std::move(*loop), std::move(*context)});
}

Result<PyRef> loop_of_calling_thread() {
  if (executor::current_job_local()) return PyRef();
  auto get_running_loop = get_running_loop_function();
  if (!get_running_loop) return std::unexpected(std::move(get_running_loop.error()));
  auto loop = owned_or_pending(PyObject_CallObject(*get_running_loop, nullptr));
  if (!loop) return loop;
  static_cast<void>(executor::shared_executor());
  return loop;
}

}  // namespace quellgate::bridge
