// One connection to the X server, with the atoms and extensions the backend
// uses, and owners for replies and server-side resources.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/x11/xcb.h"

namespace lumigrab::x11 {

// A reply or event that libxcb allocated, freed with its owner.
struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// How long the backend waits for the server to answer a request. A server
// silent for longer (stopped, or stuck) is taken for gone: the connection is
// given up, and what needed the answer fails as if the server had gone away.
inline constexpr std::chrono::milliseconds kServerTimeout{3000};

enum class Atom : std::uint8_t {
  NetSupportingWmCheck,
  NetClientList,
  NetActiveWindow,
  NetWmName,
  NetWmPid,
  NetWmWindowType,
  NetWmWindowTypeUtility,
  NetWmWindowTypeToolbar,
  NetWmWindowTypeDock,
  NetWmWindowTypeMenu,
  NetWmWindowTypeSplash,
  NetWmWindowTypeTooltip,
  NetWmWindowTypeNotification,
  WmState,
  Utf8String,
  CompoundText,
  Count,
};

class Connection {
 public:
  // Connects to $DISPLAY; null when there is no server to reach (or libxcb
  // cannot be loaded), with the reason in `*why` when asked for it.
  static std::shared_ptr<Connection> open(std::string* why = nullptr);

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  xcb_connection_t* get() const noexcept { return c_; }
  // Broken when the server went away or stopped answering, and in a child
  // process after fork(): the connection is the parent's, and the child never
  // touches it.
  xcb_window_t root() const noexcept { return screen_->root; }
  const xcb_screen_t& screen() const noexcept { return *screen_; }
  bool lsb_first() const noexcept;
  bool broken() const noexcept {
    return foreign() || given_up_.load(std::memory_order_relaxed) ||
           xcb_connection_has_error(c_) != 0;
  }
  bool foreign() const noexcept;
  int fd() const noexcept { return xcb_get_file_descriptor(c_); }
  xcb_atom_t atom(Atom which) const noexcept { return atoms_[static_cast<std::size_t>(which)]; }

  // Extensions, as the server offers them (with the versions the backend needs).
  bool has_randr_monitors() const noexcept { return randr_monitors_; }
  bool has_shm() const noexcept { return shm_; }
  bool has_damage() const noexcept { return damage_; }
  bool has_composite() const noexcept { return composite_; }
  // XFIXES, which also gives the pointer's image.
  bool has_xfixes() const noexcept { return xfixes_; }
  std::uint8_t damage_event_base() const noexcept { return damage_event_; }

  // Waits, at most kServerTimeout, for the answer to request `sequence` (sent
  // already, maybe not yet flushed). True when it came: `*answer` is the
  // reply or null, `*error` the error or null. Gives the connection up when
  // the server stays silent.
  bool await(unsigned int sequence, void** answer, xcb_generic_error_t** error) const;
  // Whether the server took a request without a reply (sent as checked).
  bool check(xcb_void_cookie_t cookie) const;

  // A new id for a resource of this client.
  std::uint32_t new_id() const noexcept { return xcb_generate_id(c_); }

 private:
  Connection(xcb_connection_t* c, int screen_number);

  xcb_connection_t* c_;
  const pid_t owner_;
  mutable std::atomic<bool> given_up_{false};
  const xcb_screen_t* screen_ = nullptr;
  xcb_atom_t atoms_[static_cast<std::size_t>(Atom::Count)] = {};
  bool randr_monitors_ = false;
  bool shm_ = false;
  bool damage_ = false;
  bool composite_ = false;
  bool xfixes_ = false;
  std::uint8_t damage_event_ = 0;
};

// Takes the reply to `cookie`, waiting at most kServerTimeout; null when the
// request failed or the server did not answer (an error is freed here, since
// every caller treats failure alike). `take` names the reply's type.
template <typename T, typename Cookie>
Reply<T> reply(const Connection& c, Cookie cookie,
               T* (* /*take*/)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
  void* answer = nullptr;
  xcb_generic_error_t* error = nullptr;
  if (!c.await(cookie.sequence, &answer, &error)) {
    return nullptr;
  }
  std::free(error);
  return Reply<T>(static_cast<T*>(answer));
}

// The reply to `cookie` if it has come (null when the request failed or the
// connection broke), without waiting; nothing while it has not come.
template <typename T, typename Cookie>
std::optional<Reply<T>> reply_if_in(const Connection& c, Cookie cookie,
                                    T* (* /*take*/)(xcb_connection_t*, Cookie,
                                                    xcb_generic_error_t**)) {
  if (c.broken()) {
    return Reply<T>(nullptr);
  }
  void* answer = nullptr;
  xcb_generic_error_t* error = nullptr;
  if (xcb_poll_for_reply(c.get(), cookie.sequence, &answer, &error) == 0) {
    return std::nullopt;
  }
  std::free(error);
  return Reply<T>(static_cast<T*>(answer));
}

// The connection that monitor and window queries share; a new one replaces it
// once it has broken (the server went away). Null without a server.
std::shared_ptr<Connection> shared_connection();

// Why no connection can be made now: the display tried, what failed and what
// to do; nothing while the shared connection works.
std::optional<std::string> unreachable_reason();

// The value of a window property: `format`-bit items of type `type`, or no
// items when the window has no such property (or is gone).
struct Property {
  xcb_atom_t type = XCB_ATOM_NONE;
  std::uint8_t format = 0;
  std::string bytes;
  bool exists = false;  // false also when the window is gone

  std::vector<std::uint32_t> words() const;
};
Property get_property(const Connection& c, xcb_window_t window, xcb_atom_t name,
                      xcb_atom_t type = XCB_ATOM_ANY);

}  // namespace lumigrab::x11
