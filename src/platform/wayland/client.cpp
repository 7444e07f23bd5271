#include "platform/wayland/client.h"

#include <cstring>
#include <dlfcn.h>

namespace lumigrab::wl {

// --- protocol tables ---
//
// A message's types name the interface of each argument that is an object or
// a new object; a null entry is an object of any interface (libwayland then
// does not check it), which is all this client needs for the core ones.

namespace {

const wl_interface* kNoTypes[8] = {};

const wl_interface* kGetXdgOutputTypes[] = {&zxdg_output_v1_interface, nullptr};
const wl_message kXdgOutputManagerRequests[] = {
    {"destroy", "", kNoTypes},
    {"get_xdg_output", "no", kGetXdgOutputTypes},
};

const wl_message kXdgOutputRequests[] = {{"destroy", "", kNoTypes}};
const wl_message kXdgOutputEvents[] = {
    {"logical_position", "ii", kNoTypes},
    {"logical_size", "ii", kNoTypes},
    {"done", "", kNoTypes},
    {"name", "2s", kNoTypes},
    {"description", "2s", kNoTypes},
};

const wl_interface* kCaptureOutputTypes[] = {&zwlr_screencopy_frame_v1_interface, nullptr, nullptr};
const wl_interface* kCaptureRegionTypes[] = {
    &zwlr_screencopy_frame_v1_interface, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const wl_message kScreencopyManagerRequests[] = {
    {"capture_output", "nio", kCaptureOutputTypes},
    {"capture_output_region", "nioiiii", kCaptureRegionTypes},
    {"destroy", "", kNoTypes},
};

const wl_message kScreencopyFrameRequests[] = {
    {"copy", "o", kNoTypes},
    {"destroy", "", kNoTypes},
    {"copy_with_damage", "2o", kNoTypes},
};
const wl_message kScreencopyFrameEvents[] = {
    {"buffer", "uuuu", kNoTypes},   {"flags", "u", kNoTypes},
    {"ready", "uuu", kNoTypes},     {"failed", "", kNoTypes},
    {"damage", "2uuuu", kNoTypes},  {"linux_dmabuf", "3uuu", kNoTypes},
    {"buffer_done", "3", kNoTypes},
};

const wl_interface* kToplevelTypes[] = {&zwlr_foreign_toplevel_handle_v1_interface};
const wl_message kToplevelManagerRequests[] = {{"stop", "", kNoTypes}};
const wl_message kToplevelManagerEvents[] = {
    {"toplevel", "n", kToplevelTypes},
    {"finished", "", kNoTypes},
};

const wl_message kToplevelHandleRequests[] = {
    {"set_maximized", "", kNoTypes},      {"unset_maximized", "", kNoTypes},
    {"set_minimized", "", kNoTypes},      {"unset_minimized", "", kNoTypes},
    {"activate", "o", kNoTypes},          {"close", "", kNoTypes},
    {"set_rectangle", "oiiii", kNoTypes}, {"destroy", "", kNoTypes},
    {"set_fullscreen", "2?o", kNoTypes},  {"unset_fullscreen", "2", kNoTypes},
};
const wl_message kToplevelHandleEvents[] = {
    {"title", "s", kNoTypes},        {"app_id", "s", kNoTypes},   {"output_enter", "o", kNoTypes},
    {"output_leave", "o", kNoTypes}, {"state", "a", kNoTypes},    {"done", "", kNoTypes},
    {"closed", "", kNoTypes},        {"parent", "3?o", kNoTypes},
};

template <typename T, std::size_t N>
constexpr int count(const T (&/*array*/)[N]) {
  return static_cast<int>(N);
}

}  // namespace

const wl_interface zxdg_output_manager_v1_interface = {
    "zxdg_output_manager_v1",  3, count(kXdgOutputManagerRequests),
    kXdgOutputManagerRequests, 0, nullptr};
const wl_interface zxdg_output_v1_interface = {"zxdg_output_v1",          3,
                                               count(kXdgOutputRequests), kXdgOutputRequests,
                                               count(kXdgOutputEvents),   kXdgOutputEvents};
const wl_interface zwlr_screencopy_manager_v1_interface = {
    "zwlr_screencopy_manager_v1", 3, count(kScreencopyManagerRequests),
    kScreencopyManagerRequests,   0, nullptr};
const wl_interface zwlr_screencopy_frame_v1_interface = {
    "zwlr_screencopy_frame_v1",      3,
    count(kScreencopyFrameRequests), kScreencopyFrameRequests,
    count(kScreencopyFrameEvents),   kScreencopyFrameEvents};
const wl_interface zwlr_foreign_toplevel_manager_v1_interface = {
    "zwlr_foreign_toplevel_manager_v1", 3,
    count(kToplevelManagerRequests),    kToplevelManagerRequests,
    count(kToplevelManagerEvents),      kToplevelManagerEvents};
const wl_interface zwlr_foreign_toplevel_handle_v1_interface = {
    "zwlr_foreign_toplevel_handle_v1", 3,
    count(kToplevelHandleRequests),    kToplevelHandleRequests,
    count(kToplevelHandleEvents),      kToplevelHandleEvents};

// --- loading ---

namespace {

constexpr const char* kLibrary = "libwayland-client.so.0";
constexpr const char* kInstallHint =
    "; install Debian's libwayland-client0 package (or your system's equivalent)";

struct Loaded {
  Client client{};
  std::optional<std::string> missing;
};

template <typename Pointer>
bool look_up(void* module, const char* name, Pointer* pointer,
             std::optional<std::string>* missing) {
  if (*missing) {
    return false;
  }
  void* const symbol = dlsym(module, name);
  if (symbol == nullptr) {
    *missing = std::string(kLibrary) + " has no " + name + " (it is too old)" + kInstallHint;
    return false;
  }
  // POSIX guarantees that a pointer from dlsym converts to the pointer type
  // of what it names; copying the bits says so without a cast.
  static_assert(sizeof(Pointer) == sizeof(void*));
  std::memcpy(pointer, &symbol, sizeof symbol);
  return true;
}

Loaded load() {
  Loaded loaded;
  // Never closed: the functions stay in use until the process ends.
  void* const module = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* const reason = dlerror();
    loaded.missing = std::string("the Wayland library ") + kLibrary + " cannot be loaded (" +
                     (reason != nullptr ? reason : "not found") + ")" + kInstallHint;
    return loaded;
  }
  Client& c = loaded.client;
  std::optional<std::string>& m = loaded.missing;
  look_up(module, "wl_display_connect", &c.display_connect, &m);
  look_up(module, "wl_display_disconnect", &c.display_disconnect, &m);
  look_up(module, "wl_display_get_fd", &c.display_get_fd, &m);
  look_up(module, "wl_display_dispatch_pending", &c.display_dispatch_pending, &m);
  look_up(module, "wl_display_flush", &c.display_flush, &m);
  look_up(module, "wl_display_prepare_read", &c.display_prepare_read, &m);
  look_up(module, "wl_display_read_events", &c.display_read_events, &m);
  look_up(module, "wl_display_cancel_read", &c.display_cancel_read, &m);
  look_up(module, "wl_display_get_error", &c.display_get_error, &m);
  look_up(module, "wl_proxy_marshal_flags", &c.proxy_marshal_flags, &m);
  look_up(module, "wl_proxy_add_listener", &c.proxy_add_listener, &m);
  look_up(module, "wl_proxy_destroy", &c.proxy_destroy, &m);
  look_up(module, "wl_proxy_get_version", &c.proxy_get_version, &m);
  look_up(module, "wl_registry_interface", &c.registry_interface, &m);
  look_up(module, "wl_callback_interface", &c.callback_interface, &m);
  look_up(module, "wl_output_interface", &c.output_interface, &m);
  look_up(module, "wl_shm_interface", &c.shm_interface, &m);
  look_up(module, "wl_shm_pool_interface", &c.shm_pool_interface, &m);
  look_up(module, "wl_buffer_interface", &c.buffer_interface, &m);
  return loaded;
}

}  // namespace

const Client* client(std::string* why) {
  // Loaded once and kept, as the X11 libraries are.
  static const Loaded loaded = load();
  if (loaded.missing) {
    if (why != nullptr) {
      *why = *loaded.missing;
    }
    return nullptr;
  }
  return &loaded.client;
}

}  // namespace lumigrab::wl
