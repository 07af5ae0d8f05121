#include "executor/environment.hpp"

#include <windows.h>

#include "executor/windows/wide_text.hpp"

namespace quellgate::executor {

namespace {

// The thread that loaded the module (its static initialisers run on the
// loader's thread): the interpreter's main thread unless the module is first
// imported elsewhere. Windows has no thread whose id is the process's.
const DWORD loading_thread = GetCurrentThreadId();

}  // namespace

// Read from the process's environment block, not the C runtime's copy: the
// interpreter's os.environ writes reach the block on Windows, and the module's
// C runtime may not be the interpreter's.
std::optional<std::string> read_environment_variable(const char* name) {
  const std::wstring wide_name = windows::to_wide(name);
  std::wstring value(64, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();  // set and empty
    }
    if (length < value.size()) {
      value.resize(length);
      return windows::from_wide(value);
    }
    value.resize(length);  // the size asked for includes the terminating NUL
  }
}

// Windows has no fork(): a process starts empty, so no handler is ever due.
void register_fork_child_handler(void (*)()) {}

void register_fork_bracket(void (*)(), void (*)(), void (*)()) {}

bool on_first_thread() noexcept { return GetCurrentThreadId() == loading_thread; }

}  // namespace quellgate::executor
