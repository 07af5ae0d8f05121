#pragma once
#include <optional>
#include <string>

namespace quellgate::executor {

// The raw bytes of an environment variable, or nothing when it is unset.
std::optional<std::string> read_environment_variable(const char* name);

// Runs `handler` in the child after every fork() of this process. The child
// has a single thread; the handler must not touch locks other threads held.
void register_fork_child_handler(void (*handler)());

// Runs `before` in the forking thread just before every fork() of this
// process, and just after it `in_parent` in the parent and `in_child` in the
// child: what `before` locks, each of them unlocks.
void register_fork_bracket(void (*before)(), void (*in_parent)(), void (*in_child)());

// Whether the calling thread is the process's first thread, the one whose
// thread id is the process id (in a forked child, the thread that forked).
bool on_first_thread() noexcept;

}  // namespace quellgate::executor
