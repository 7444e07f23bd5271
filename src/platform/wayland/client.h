// The part of libwayland-client that the Wayland backend uses, declared here
// and loaded at run time, and the protocol tables of the extensions it speaks.
//
// No Wayland header is needed to build the backend: the types below carry
// libwayland's own names and layouts (from its public headers), the core
// interfaces (wl_registry, wl_output, wl_shm, ...) are the library's own
// exported tables, and the tables of xdg-output, wlr-screencopy and
// wlr-foreign-toplevel-management are this module's, written from the
// protocols' XML descriptions. `client()` opens the library and looks every
// symbol up once; nothing here is called before it succeeded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace lumigrab::wl {

struct wl_proxy;
struct wl_display;
struct wl_interface;

struct wl_message {
  const char* name;
  const char* signature;
  const wl_interface** types;
};

struct wl_interface {
  const char* name;
  int version;
  int method_count;
  const wl_message* methods;
  int event_count;
  const wl_message* events;
};

struct wl_array {
  std::size_t size;
  std::size_t alloc;
  void* data;
};

// wl_proxy_marshal_flags: the proxy is destroyed after the request.
inline constexpr std::uint32_t kMarshalDestroy = 1;

// The library's functions and core interface tables, once loaded.
struct Client {
  wl_display* (*display_connect)(const char* name);
  void (*display_disconnect)(wl_display* display);
  int (*display_get_fd)(wl_display* display);
  int (*display_dispatch_pending)(wl_display* display);
  int (*display_flush)(wl_display* display);
  int (*display_prepare_read)(wl_display* display);
  int (*display_read_events)(wl_display* display);
  void (*display_cancel_read)(wl_display* display);
  int (*display_get_error)(wl_display* display);
  wl_proxy* (*proxy_marshal_flags)(wl_proxy* proxy, std::uint32_t opcode,
                                   const wl_interface* interface, std::uint32_t version,
                                   std::uint32_t flags, ...);
  int (*proxy_add_listener)(wl_proxy* proxy, void (**implementation)(), void* data);
  void (*proxy_destroy)(wl_proxy* proxy);
  std::uint32_t (*proxy_get_version)(wl_proxy* proxy);

  const wl_interface* registry_interface;
  const wl_interface* callback_interface;
  const wl_interface* output_interface;
  const wl_interface* shm_interface;
  const wl_interface* shm_pool_interface;
  const wl_interface* buffer_interface;
};

// The loaded library, or null with why it cannot be loaded (naming the
// library and the Debian package that installs it) in `*why`.
const Client* client(std::string* why = nullptr);

// The extension interfaces, this module's own tables.
extern const wl_interface zxdg_output_manager_v1_interface;
extern const wl_interface zxdg_output_v1_interface;
extern const wl_interface zwlr_screencopy_manager_v1_interface;
extern const wl_interface zwlr_screencopy_frame_v1_interface;
extern const wl_interface zwlr_foreign_toplevel_manager_v1_interface;
extern const wl_interface zwlr_foreign_toplevel_handle_v1_interface;

// Request opcodes, in each interface's order.
namespace request {
inline constexpr std::uint32_t kDisplaySync = 0;
inline constexpr std::uint32_t kDisplayGetRegistry = 1;
inline constexpr std::uint32_t kRegistryBind = 0;
inline constexpr std::uint32_t kOutputRelease = 0;  // version 3
inline constexpr std::uint32_t kShmCreatePool = 0;
inline constexpr std::uint32_t kShmPoolCreateBuffer = 0;
inline constexpr std::uint32_t kShmPoolDestroy = 1;
inline constexpr std::uint32_t kBufferDestroy = 0;
inline constexpr std::uint32_t kXdgOutputManagerDestroy = 0;
inline constexpr std::uint32_t kXdgOutputManagerGetXdgOutput = 1;
inline constexpr std::uint32_t kXdgOutputDestroy = 0;
inline constexpr std::uint32_t kScreencopyManagerCaptureOutput = 0;
inline constexpr std::uint32_t kScreencopyManagerDestroy = 2;
inline constexpr std::uint32_t kScreencopyFrameCopy = 0;
inline constexpr std::uint32_t kScreencopyFrameDestroy = 1;
inline constexpr std::uint32_t kScreencopyFrameCopyWithDamage = 2;  // version 2
inline constexpr std::uint32_t kToplevelManagerStop = 0;
inline constexpr std::uint32_t kToplevelHandleDestroy = 7;
}  // namespace request

// wl_shm formats: ARGB8888 and XRGB8888 have codes of their own; the others
// are DRM fourcc codes.
inline constexpr std::uint32_t kShmArgb8888 = 0;
inline constexpr std::uint32_t kShmXrgb8888 = 1;
inline constexpr std::uint32_t kShmXbgr8888 = 0x34324258;  // 'XB24'
inline constexpr std::uint32_t kShmAbgr8888 = 0x34324241;  // 'AB24'

// wl_output transforms that turn the mode's width into the output's height.
inline constexpr bool transform_swaps_axes(std::int32_t transform) {
  return (transform & 1) != 0;
}

}  // namespace lumigrab::wl
