#include "executor/windows/thread_description.hpp"

#include "executor/windows/wide_text.hpp"

namespace quellgate::executor::windows {

namespace {

using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// Looked up once; kernel32 stays loaded for the life of every process.
template <class Function>
Function kernel32_function(const char* name) noexcept {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel32, name)));
}

const SetDescription set_description = kernel32_function<SetDescription>("SetThreadDescription");
const GetDescription get_description = kernel32_function<GetDescription>("GetThreadDescription");

}  // namespace

void describe_thread(HANDLE thread, std::string_view name) noexcept {
  if (set_description == nullptr) return;
  try {
    set_description(thread, to_wide(name).c_str());
  } catch (...) {
    // Out of memory for the name: it is cosmetic.
  }
}

std::optional<std::string> thread_description(HANDLE thread) {
  if (get_description == nullptr) return std::nullopt;
  PWSTR description = nullptr;
  if (FAILED(get_description(thread, &description)) || description == nullptr) return std::nullopt;
  std::string name = from_wide(description);
  LocalFree(description);
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace quellgate::executor::windows
