#include "platform/x11/xcb.h"

#include <array>
#include <cstring>
#include <dlfcn.h>
#include <mutex>

namespace lumigrab::xcb {

namespace loaded {
#define LUMIGRAB_XCB_POINTER(library, result, name, parameters, arguments) \
  result(*name) parameters = nullptr;
LUMIGRAB_XCB_FUNCTIONS(LUMIGRAB_XCB_POINTER)
#undef LUMIGRAB_XCB_POINTER
#define LUMIGRAB_XCB_REPLY_POINTER(library, request)                           \
  request##_reply_t* (*request##_reply)(xcb_connection_t*, request##_cookie_t, \
                                        xcb_generic_error_t**) = nullptr;
LUMIGRAB_XCB_REPLIES(LUMIGRAB_XCB_REPLY_POINTER)
#undef LUMIGRAB_XCB_REPLY_POINTER
#define LUMIGRAB_XCB_EXTENSION_POINTER(library, name) xcb_extension_t* name = nullptr;
LUMIGRAB_XCB_EXTENSIONS(LUMIGRAB_XCB_EXTENSION_POINTER)
#undef LUMIGRAB_XCB_EXTENSION_POINTER
}  // namespace loaded

namespace {

struct LibraryFile {
  const char* file;     // the soname, as the dynamic loader finds it
  const char* package;  // the Debian package that installs it
};

constexpr std::array<LibraryFile, static_cast<std::size_t>(Library::Count)> kLibraries{{
    {"libxcb.so.1", "libxcb1"},
    {"libxcb-randr.so.0", "libxcb-randr0"},
    {"libxcb-shm.so.0", "libxcb-shm0"},
    {"libxcb-xfixes.so.0", "libxcb-xfixes0"},
    {"libxcb-damage.so.0", "libxcb-damage0"},
    {"libxcb-composite.so.0", "libxcb-composite0"},
}};

const LibraryFile& file_of(Library library) {
  return kLibraries[static_cast<std::size_t>(library)];
}

std::string install_hint(Library library) {
  return std::string("; install Debian's ") + file_of(library).package +
         " package (or your system's equivalent)";
}

// Sets `*pointer` to the symbol `name` of `module`; the text of what is
// missing when there is no such symbol.
template <typename Pointer>
std::optional<std::string> look_up(void* module, Library library, const char* name,
                                   Pointer* pointer) {
  void* const symbol = dlsym(module, name);
  if (symbol == nullptr) {
    return std::string(file_of(library).file) + " has no " + name + " (it is too old)" +
           install_hint(library);
  }
  // POSIX guarantees that a data pointer from dlsym converts to a function
  // pointer; copying the bits says so without a cast the language leaves open.
  static_assert(sizeof(Pointer) == sizeof(void*));
  std::memcpy(pointer, &symbol, sizeof symbol);
  return std::nullopt;
}

std::optional<std::string> load_all() {
  std::array<void*, static_cast<std::size_t>(Library::Count)> modules{};
  for (std::size_t i = 0; i < modules.size(); ++i) {
    // Never closed: the functions stay in use until the process ends.
    modules[i] = dlopen(kLibraries[i].file, RTLD_NOW | RTLD_LOCAL);
    if (modules[i] == nullptr) {
      const char* const reason = dlerror();
      return std::string("the X11 library ") + kLibraries[i].file + " cannot be loaded (" +
             (reason != nullptr ? reason : "not found") + ")" +
             install_hint(static_cast<Library>(i));
    }
  }
  const auto module_of = [&modules](Library library) {
    return modules[static_cast<std::size_t>(library)];
  };
  std::optional<std::string> missing;
#define LUMIGRAB_XCB_LOOK_UP(library, result, name, parameters, arguments)                  \
  if (!missing) {                                                                           \
    missing = look_up(module_of(Library::library), Library::library, #name, &loaded::name); \
  }
  LUMIGRAB_XCB_FUNCTIONS(LUMIGRAB_XCB_LOOK_UP)
#undef LUMIGRAB_XCB_LOOK_UP
#define LUMIGRAB_XCB_LOOK_UP_REPLY(library, request)                                    \
  if (!missing) {                                                                       \
    missing = look_up(module_of(Library::library), Library::library, #request "_reply", \
                      &loaded::request##_reply);                                        \
  }
  LUMIGRAB_XCB_REPLIES(LUMIGRAB_XCB_LOOK_UP_REPLY)
#undef LUMIGRAB_XCB_LOOK_UP_REPLY
#define LUMIGRAB_XCB_LOOK_UP_EXTENSION(library, name)                                              \
  if (!missing) {                                                                                  \
    missing =                                                                                      \
        look_up(module_of(Library::library), Library::library, "xcb_" #name "_id", &loaded::name); \
  }
  LUMIGRAB_XCB_EXTENSIONS(LUMIGRAB_XCB_LOOK_UP_EXTENSION)
#undef LUMIGRAB_XCB_LOOK_UP_EXTENSION
  return missing;
}

}  // namespace

const std::optional<std::string>& load_xcb() {
  // Loaded once and kept: a library that appears later is not looked for
  // again, as a process that started without it would not expect.
  static const std::optional<std::string> missing = load_all();
  return missing;
}

}  // namespace lumigrab::xcb
