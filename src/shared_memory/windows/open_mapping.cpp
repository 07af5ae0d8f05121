#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shared_memory/mapping.hpp"
#include "shared_memory/object_name.hpp"
#include "shared_memory/process_identity.hpp"
#include "shared_memory/segment_header.hpp"

// A segment is a file in %LOCALAPPDATA%\quellgate\, mapped by every opener,
// rather than a named mapping of the paging file: Windows removes a named
// mapping with its last handle, while a limit's counts (as under /dev/shm)
// must outlive the processes that use them, until remove_shared(). The file
// is marked temporary, so the cache manager keeps its pages in memory
// rather than writing them out. Views of one file are coherent across
// processes.
//
// Its lock and wakes are a named mutex and a named semaphore, named after
// the file's identity (volume and file index) rather than its path: paths
// differ in case and spelling, and a file created under a removed one's
// name has another identity, so the mappings of a removed segment keep
// their own lock, as they keep their own bytes. Global\, so that the
// processes of one user in two sessions share them as they share the file.
namespace quellgate::shared_memory {
namespace {

// Losing the race to create, then finding the winner's segment removed
// before it could be opened, takes a remove_shared() in between every time.
constexpr int open_attempts = 4;
// Temporary names taken by live processes: see the Linux opener.
constexpr int temporary_attempts = 8;
// Wake units waiting for sleepers at once: a bound on those left by
// sleepers that timed out as a release counted them (wake.cpp).
constexpr LONG most_wake_units = 1024;

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

// A path for messages: without the \\?\ that lifts MAX_PATH for the calls.
std::string shown(const std::wstring& path) {
  constexpr std::wstring_view long_prefix = L"\\\\?\\";
  return utf8(path.starts_with(long_prefix) ? path.substr(long_prefix.size()) : path);
}

// Limiter names and what is made of them are ASCII.
std::wstring wide(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

int errno_of(DWORD error) noexcept {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
      return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_ENVVAR_NOT_FOUND:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    default:
      return EIO;
  }
}

std::string windows_message(DWORD error) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
    message.pop_back();
  }
  return (message.empty() ? "error" : message) + " (Windows error " + std::to_string(error) + ")";
}

struct Names {
  std::string_view name;
  std::wstring path;
};

OpenError os_error(const Names& names, std::string_view doing, DWORD error) {
  return OpenError{OpenError::Kind::os, errno_of(error),
                   "shared limiter " + quoted(names.name) + ": cannot " + std::string(doing) + " " + shown(names.path) +
                       ": " + windows_message(error)};
}

OpenError corrupt(const Names& names, const std::string& reason) {
  return OpenError{OpenError::Kind::corrupt, 0,
                   "shared limiter " + quoted(names.name) + ": " + shown(names.path) +
                       " is not a segment this version of quellgate can use: " + reason};
}

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) noexcept : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Handle& operator=(Handle&&) = delete;
  ~Handle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  HANDLE get() const noexcept { return handle_; }
  HANDLE release() noexcept { return std::exchange(handle_, nullptr); }

 private:
  HANDLE handle_;
};

class View {
 public:
  explicit View(void* address) noexcept : address_(address) {}
  View(View&& other) noexcept : address_(std::exchange(other.address_, nullptr)) {}
  View& operator=(View&&) = delete;
  ~View() {
    if (address_ != nullptr) UnmapViewOfFile(address_);
  }
  layout::Layout* segment() const noexcept { return static_cast<layout::Layout*>(address_); }
  layout::Layout* release() noexcept { return static_cast<layout::Layout*>(std::exchange(address_, nullptr)); }

 private:
  void* address_;
};

// %LOCALAPPDATA%\quellgate, made when missing, as a \\?\ path: a long
// profile folder and a 200-character name can pass MAX_PATH.
std::expected<std::wstring, DWORD> segment_directory() {
  std::wstring base(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), static_cast<DWORD>(base.size()));
    if (length == 0) return std::unexpected(GetLastError());
    if (length < base.size()) {
      base.resize(length);
      break;
    }
    base.resize(length);
  }
  // Only a drive's absolute path, in which nothing is left to normalise.
  const bool drive_path = base.size() >= 3 && base[1] == L':' && base[2] == L'\\' &&
                          base.find(L'/') == std::wstring::npos && base.find(L"\\.") == std::wstring::npos;
  if (drive_path) base = L"\\\\?\\" + base;
  std::wstring directory = base + L"\\quellgate";
  if (!CreateDirectoryW(directory.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return std::unexpected(GetLastError());
  }
  return directory;
}

std::expected<Names, OpenError> names_of(std::string_view name) {
  const auto object = object_name(name);
  if (!object) return std::unexpected(object.error());
  auto directory = segment_directory();
  if (!directory) {
    return std::unexpected(os_error(Names{name, L"%LOCALAPPDATA%\\quellgate"}, "use the folder", directory.error()));
  }
  return Names{name, *directory + L"\\" + wide(std::string_view(*object).substr(1))};
}

std::wstring directory_of(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

std::expected<View, OpenError> map(const Names& names, HANDLE file, std::size_t size) {
  const Handle section(CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr));
  if (section.get() == nullptr) return std::unexpected(os_error(names, "map", GetLastError()));
  void* address = MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
  if (address == nullptr) return std::unexpected(os_error(names, "map", GetLastError()));
  return View(address);
}

// The mutex and the semaphore of the file `file`, created by the first opener.
std::expected<KernelObjects, OpenError> open_objects(const Names& names, HANDLE file) {
  BY_HANDLE_FILE_INFORMATION about{};
  if (!GetFileInformationByHandle(file, &about)) return std::unexpected(os_error(names, "inspect", GetLastError()));
  wchar_t stem[96];
  std::swprintf(stem, sizeof stem / sizeof stem[0], L"Global\\quellgate.%u.%08lx.%08lx%08lx", layout::version,
                about.dwVolumeSerialNumber, about.nFileIndexHigh, about.nFileIndexLow);
  Handle lock(CreateMutexW(nullptr, FALSE, (std::wstring(stem) + L".lock").c_str()));
  if (lock.get() == nullptr) return std::unexpected(os_error(names, "make the lock of", GetLastError()));
  Handle wake(CreateSemaphoreW(nullptr, 0, most_wake_units, (std::wstring(stem) + L".wake").c_str()));
  if (wake.get() == nullptr) return std::unexpected(os_error(names, "make the wake-ups of", GetLastError()));
  return KernelObjects{lock.release(), wake.release()};
}

std::unique_ptr<Mapping> mapping_of(View& view, const SharedConfig& config, std::string_view name,
                                    KernelObjects objects) {
  return std::make_unique<Mapping>(view.release(), config, std::string(name), objects);
}

std::expected<std::unique_ptr<Mapping>, OpenError> attach(const Names& names, HANDLE file, const SharedConfig& wanted) {
  BY_HANDLE_FILE_INFORMATION about{};
  if (!GetFileInformationByHandle(file, &about)) return std::unexpected(os_error(names, "inspect", GetLastError()));
  if (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return std::unexpected(corrupt(names, "it is a symbolic link or a junction"));
  }
  const std::uint64_t size = (static_cast<std::uint64_t>(about.nFileSizeHigh) << 32) | about.nFileSizeLow;
  if (auto wrong = wrong_size(size)) return std::unexpected(corrupt(names, *wrong));
  auto view = map(names, file, static_cast<std::size_t>(size));
  if (!view) return std::unexpected(std::move(view.error()));
  // One copy, so that a writer cannot change the header between check and use.
  layout::Header header;
  std::memcpy(&header, &view->segment()->header, sizeof header);
  const auto stored = read_header(header, size);
  if (!stored) return std::unexpected(corrupt(names, stored.error()));
  if (!(*stored == wanted)) {
    return std::unexpected(OpenError{OpenError::Kind::mismatch, 0,
                                     "shared limiter " + quoted(names.name) + " exists with " + stored->describe() +
                                         ", which differs from the " + wanted.describe() + " asked for"});
  }
  auto objects = open_objects(names, file);
  if (!objects) return std::unexpected(std::move(objects.error()));
  return mapping_of(*view, *stored, names.name, *objects);
}

// Removes the temporaries (and removed segments) of processes that are
// certainly gone, so that they do not pile up beside the segments.
void remove_dead_temporaries(const std::wstring& directory, const ProcessIdentity& me) {
  if (me.pid_namespace == 0) return;
  WIN32_FIND_DATAW found{};
  const std::wstring pattern = directory + L"\\" + wide(temporary_entry_prefix()) + L"*";
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> dead;
  do {
    const std::string file = utf8(found.cFileName);
    const auto creator = temporary_creator(file);
    if (creator && creator->pid_namespace == me.pid_namespace && process_is_gone(creator->pid, creator->start_time)) {
      dead.push_back(directory + L"\\" + found.cFileName);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const std::wstring& path : dead) DeleteFileW(path.c_str());
}

// A name beside the segments that no limiter name maps to, under which no
// live process made anything.
std::wstring temporary_path(const Names& names, const ProcessIdentity& me) {
  return directory_of(names.path) + L"\\" + wide(std::string_view(temporary_object_name(names.name, me)).substr(1));
}

// Builds a segment under a temporary name and renames it into place, so no
// opener ever sees it half made. Nothing (and no error) when another
// process renamed its own first.
std::expected<std::unique_ptr<Mapping>, OpenError> create(const Names& names, const SharedConfig& config) {
  const ProcessIdentity me = current_identity();
  remove_dead_temporaries(directory_of(names.path), me);
  Names made{names.name, {}};
  std::optional<Handle> file;
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
    made.path = temporary_path(names, me);
    HANDLE created = CreateFileW(made.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (created != INVALID_HANDLE_VALUE) {
      file.emplace(created);
      break;
    }
    error = GetLastError();
    if (error != ERROR_FILE_EXISTS) break;
  }
  if (!file) return std::unexpected(os_error(made, "create", error));
  struct Delete {
    const std::wstring& path;
    ~Delete() { DeleteFileW(path.c_str()); }  // fails, harmlessly, once renamed
  } delete_temporary{made.path};
  const std::size_t size = layout::size_for(config.max_keys);
  // Allocated now (a file grows with zeros), so that a full disk is an
  // error here rather than a fault at the first touch of a page.
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(file->get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file->get())) {
    return std::unexpected(os_error(made, "allocate", GetLastError()));
  }
  auto view = map(made, file->get(), size);
  if (!view) return std::unexpected(std::move(view.error()));
  write_header(view->segment()->header, config);
  auto objects = open_objects(made, file->get());
  if (!objects) return std::unexpected(std::move(objects.error()));
  auto mapping = mapping_of(*view, config, names.name, *objects);
  if (!MoveFileExW(made.path.c_str(), names.path.c_str(), 0)) {
    error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return std::unique_ptr<Mapping>();
    return std::unexpected(os_error(names, "publish " + shown(made.path) + " as", error));
  }
  return mapping;
}

// What sits at the name when it cannot be opened as a file, for the message.
OpenError open_refused(const Names& names, DWORD error) {
  const DWORD attributes = GetFileAttributesW(names.path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return corrupt(names, "it is a directory");
  }
  return os_error(names, "open", error);
}

// A segment in this user's profile is this user's alone: a mode sharing it
// with others cannot be had here.
std::optional<OpenError> check_mode(std::string_view name, std::optional<unsigned> mode) {
  if (!mode || (*mode & 077) == 0) return std::nullopt;
  char text[16];
  std::snprintf(text, sizeof text, "0o%03o", *mode & 0777);
  return OpenError{OpenError::Kind::os, EINVAL,
                   "shared limiter " + quoted(name) + ": mode=" + text +
                       " shares it with other users, which Windows cannot do: a segment lives in this user's "
                       "local application data, for this user only (leave mode= out, or give an owner-only mode)"};
}

}  // namespace

Mapping::~Mapping() {
  UnmapViewOfFile(segment_);
  if (objects_.lock != nullptr) CloseHandle(static_cast<HANDLE>(objects_.lock));
  if (objects_.wake != nullptr) CloseHandle(static_cast<HANDLE>(objects_.wake));
}

std::expected<std::unique_ptr<Mapping>, OpenError> open_mapping(std::string_view name, const SharedConfig& config,
                                                               std::optional<unsigned> mode) {
  auto names = names_of(name);
  if (!names) return std::unexpected(std::move(names.error()));
  if (auto refused = check_mode(name, mode)) return std::unexpected(std::move(*refused));
  if (!valid_config(config)) {
    return std::unexpected(OpenError{OpenError::Kind::os, EINVAL,
                                     "shared limiter " + quoted(name) + ": invalid configuration " + config.describe()});
  }
  for (int attempt = 0; attempt < open_attempts; ++attempt) {
    const Handle file(CreateFileW(names->path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.get() != nullptr) return attach(*names, file.get(), config);
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) return std::unexpected(open_refused(*names, error));
    auto created = create(*names, config);
    if (!created || *created) return created;
  }
  return std::unexpected(os_error(*names, "open", ERROR_FILE_NOT_FOUND));
}

// Renamed out of the way before it is deleted: a file still open elsewhere
// lingers under its name until its last handle closes, and a new segment
// must be able to take the name at once. The renamed file goes with its
// last handle; should its deletion fail, it is a temporary of this process,
// removed by a later creator once this process is gone.
std::expected<void, OpenError> Segment::remove(std::string_view name) {
  auto names = names_of(name);
  if (!names) return std::unexpected(std::move(names.error()));
  const std::wstring removed = temporary_path(*names, current_identity());
  if (!MoveFileExW(names->path.c_str(), removed.c_str(), 0)) {
    return std::unexpected(os_error(*names, "remove", GetLastError()));
  }
  DeleteFileW(removed.c_str());
  return {};
}

}  // namespace quellgate::shared_memory
