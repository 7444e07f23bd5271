// One connection to the X server, with the atoms and extensions the backend
// uses, and owners for replies and server-side resources.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lumigrab::x11 {

// A reply or event that libxcb allocated, freed with its owner.
struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Takes the reply to `cookie`; null when the request failed (its error is
// freed here, since every caller treats failure alike).
template <typename T, typename Cookie>
Reply<T> reply(xcb_connection_t* c, Cookie cookie,
               T* (*take)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
  xcb_generic_error_t* error = nullptr;
  Reply<T> result(take(c, cookie, &error));
  std::free(error);
  return result;
}

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
  // Connects to $DISPLAY; null when there is no server to reach.
  static std::shared_ptr<Connection> open();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  xcb_connection_t* get() const noexcept { return c_; }
  xcb_window_t root() const noexcept { return screen_->root; }
  const xcb_screen_t& screen() const noexcept { return *screen_; }
  bool lsb_first() const noexcept;
  bool broken() const noexcept { return xcb_connection_has_error(c_) != 0; }
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

  // A new id for a resource of this client.
  std::uint32_t new_id() const noexcept { return xcb_generate_id(c_); }

 private:
  Connection(xcb_connection_t* c, int screen_number);

  xcb_connection_t* c_;
  const xcb_screen_t* screen_ = nullptr;
  xcb_atom_t atoms_[static_cast<std::size_t>(Atom::Count)] = {};
  bool randr_monitors_ = false;
  bool shm_ = false;
  bool damage_ = false;
  bool composite_ = false;
  bool xfixes_ = false;
  std::uint8_t damage_event_ = 0;
};

// The connection that monitor and window queries share; a new one replaces it
// once it has broken (the server went away). Null without a server.
std::shared_ptr<Connection> shared_connection();

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
