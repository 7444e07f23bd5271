// Threads, processes, libraries and system message texts: kernel32.
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"
#include "platform/windows/sdk.h"
#include "platform/windows/system_export.h"

namespace lumigrab::platform {
namespace {

// Frees a string the system allocated with LocalAlloc.
class LocalString {
 public:
  LocalString() = default;
  LocalString(const LocalString&) = delete;
  LocalString& operator=(const LocalString&) = delete;
  ~LocalString() {
    if (text_ != nullptr) {
      ::LocalFree(text_);
    }
  }

  wchar_t** put() noexcept { return &text_; }
  const wchar_t* get() const noexcept { return text_; }

 private:
  wchar_t* text_ = nullptr;
};

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string to_utf8(std::wstring_view text) {
  if (text.empty()) {
    return {};
  }
  const auto length = static_cast<int>(text.size());
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) {
    return {};
  }
  std::string result(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr, nullptr);
  return result;
}

// The file name of the module holding `address`, without its directory, or
// empty when the address lies in no module (generated code, a freed DLL).
std::string module_holding(const void* address, HMODULE* module) {
  // UNCHANGED_REFCOUNT: the handle is only read here, never owned.
  if (::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const wchar_t*>(address), module) == FALSE) {
    *module = nullptr;
    return {};
  }
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(*module, path, MAX_PATH);
  std::wstring_view name(path, length);
  const auto slash = name.find_last_of(L"\\/");
  if (slash != std::wstring_view::npos) {
    name.remove_prefix(slash + 1);
  }
  return to_utf8(name);
}

void write_frame(unsigned index, const void* address) {
  HMODULE module = nullptr;
  const std::string name = module_holding(address, &module);
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  if (module == nullptr) {
    std::fprintf(stderr, "%4u: 0x%016" PRIxPTR "\n", index, at);
    return;
  }
  const auto offset = at - reinterpret_cast<std::uintptr_t>(module);
  std::fprintf(stderr, "%4u: 0x%016" PRIxPTR " %s+0x%" PRIxPTR "\n", index, at, name.c_str(),
               offset);
}

}  // namespace

const char* backend_name() noexcept {
  return "windows";
}

std::optional<std::string> desktop_unreachable() {
  return std::nullopt;
}

std::optional<std::string> windows_unlisted() {
  return std::nullopt;
}

bool cursor_captured_by_default() noexcept {
  return true;
}

DWORD GetCurrentThreadId() {
  return ::GetCurrentThreadId();
}

std::uint64_t process_generation() noexcept {
  return 0;
}

bool explains_capture_failures() noexcept {
  return false;
}

DWORD GetCurrentProcessId() {
  return ::GetCurrentProcessId();
}

std::thread spawn_thread(std::function<void()> body) {
  return std::thread(std::move(body));
}

std::string current_thread_name() {
  // Windows 10 1607 and later; older systems have no thread names at all.
  using GetThreadDescriptionProc = HRESULT(WINAPI*)(HANDLE thread, wchar_t * *description);
  static const windows::SystemExport get_description(L"kernel32.dll", "GetThreadDescription");
  const auto get = get_description.get<GetThreadDescriptionProc>();
  if (get == nullptr) {
    return {};
  }
  LocalString description;
  const HRESULT result = get(::GetCurrentThread(), description.put());
  if (win::failed(result) || description.get() == nullptr) {
    return {};
  }
  return to_utf8(description.get());
}

// Read from the process's own environment block: the C runtime's copy can
// miss what was set after it started.
std::optional<std::string> environment_variable(const char* name) {
  std::wstring wide_name;
  for (const char* c = name; *c != '\0'; ++c) {
    wide_name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
  }
  std::wstring value(64, L'\0');
  for (;;) {
    // An empty value also gives 0, without touching the last error.
    ::SetLastError(0);
    const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                                   static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return std::nullopt;
      }
      return std::string();
    }
    if (length < value.size()) {
      value.resize(length);
      break;
    }
    value.assign(length, L'\0');  // the size asked for, terminator included
  }
  std::string text;
  for (const wchar_t unit : value) {
    text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return text;
}

void write_backtrace() {
  // Fewer than 63 frames: the limit of older systems. The first frame skipped
  // is this function itself.
  constexpr DWORD kMaxFrames = 62;
  void* frames[kMaxFrames] = {};
  const WORD count = ::RtlCaptureStackBackTrace(1, kMaxFrames, frames, nullptr);
  std::fputs("stack backtrace:\n", stderr);
  // Some unwinders end the walk with null frames rather than a shorter count.
  for (unsigned i = 0; i < count && frames[i] != nullptr; ++i) {
    write_frame(i, frames[i]);
  }
  std::fflush(stderr);
}

DWORD GetLastError() {
  return ::GetLastError();
}

DWORD FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     WCHAR** buffer) {
  if (buffer == nullptr) {
    return 0;
  }
  *buffer = nullptr;
  // The system allocates the text only with ALLOCATE_BUFFER, and no insert
  // arguments are ever passed, so an insert in a message must stay literal
  // rather than be read from a null argument list.
  flags |= FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  // With ALLOCATE_BUFFER the buffer parameter is really a pointer to the pointer.
  return ::FormatMessageW(flags, source, message_id, language_id, reinterpret_cast<LPWSTR>(buffer),
                          0, nullptr);
}

void FreeFormatMessageBuffer(WCHAR* buffer) {
  if (buffer != nullptr) {
    ::LocalFree(buffer);
  }
}

HMODULE LoadLibraryExA(const char* file_name, void* file, DWORD flags) {
  return ::LoadLibraryExA(file_name, file, flags);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  return ::GetProcAddress(module, name);
}

BOOL FreeLibrary(HMODULE module) {
  return ::FreeLibrary(module);
}

}  // namespace lumigrab::platform
