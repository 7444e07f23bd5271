// One connection to the Wayland compositor, with the globals the backend
// uses and what the compositor says of its outputs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/wayland/client.h"

namespace lumigrab::wayland {

using wl::wl_display;
using wl::wl_interface;
using wl::wl_proxy;

// How long the backend waits for the compositor to answer. A compositor
// silent for longer (stopped, or stuck) is taken for gone.
inline constexpr std::chrono::milliseconds kServerTimeout{3000};

// An output as the compositor describes it: the registry name of its
// wl_output global (unique while the output exists, and the same for every
// client), its position in the desktop, the size of its current mode in
// pixels (turned as the output is) and the mode's refresh rate.
struct OutputRecord {
  std::uint32_t global = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t refresh_mhz = 0;
  std::string name;
  std::string description;
};

// A top-level window as the compositor's window list (foreign-toplevel)
// describes it. `id` is this client's own number for it, never reused.
struct ToplevelRecord {
  std::uintptr_t id = 0;
  std::string title;
  bool activated = false;
  bool minimized = false;
};

// A global the compositor offers: its registry name and version, or 0.
struct Global {
  std::uint32_t name = 0;
  std::uint32_t version = 0;
  explicit operator bool() const noexcept { return name != 0; }
};

class Connection {
 public:
  // Connects to $WAYLAND_DISPLAY and learns the globals and outputs; null
  // when there is no compositor to reach (or libwayland-client cannot be
  // loaded), with the reason in `*why` when asked for it.
  static std::shared_ptr<Connection> open(std::string* why = nullptr);

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  const wl::Client& wl() const noexcept { return wl_; }
  wl_display* display() const noexcept { return display_; }
  int fd() const noexcept { return wl_.display_get_fd(display_); }
  // Broken when the compositor went away or stopped answering, and in a
  // child process after fork(): the connection is the parent's, and the
  // child never touches it.
  bool broken() const noexcept;
  bool foreign() const noexcept { return owner_ != getpid(); }

  // Sends what is queued and waits, at most kServerTimeout, until the
  // compositor has answered all of it, dispatching its events. False when the
  // connection broke or the compositor stayed silent (then it is given up).
  bool roundtrip();
  // Reads what the compositor has sent, without waiting, and dispatches it;
  // false once the connection is broken.
  bool pump();
  // Sends what is queued.
  void flush() const noexcept { wl_.display_flush(display_); }

  // The outputs with a known mode, in the order the compositor announced them.
  std::vector<OutputRecord> outputs() const;
  // The wl_output of output `global`, or null.
  wl_proxy* output_proxy(std::uint32_t global) const noexcept;

  const Global& screencopy() const noexcept { return screencopy_; }
  const Global& shm() const noexcept { return shm_; }
  const Global& window_list() const noexcept { return toplevels_; }
  // Binds global `which` as `interface`, at most at `version`.
  wl_proxy* bind(const Global& which, const wl_interface* interface, std::uint32_t version) const;

  // The top-level windows, in the order they appeared; nothing when the
  // compositor offers no window list. The first call starts listening.
  std::optional<std::vector<ToplevelRecord>> toplevels();

  // Serialises the use of a connection that several threads share.
  std::mutex& use_mutex() noexcept { return use_mutex_; }

  struct Output;
  struct Toplevel;

 private:
  Connection(const wl::Client& wl, wl_display* display);

  static void on_global(void* data, wl_proxy* registry, std::uint32_t name, const char* interface,
                        std::uint32_t version);
  static void on_global_remove(void* data, wl_proxy* registry, std::uint32_t name);
  void add_output(std::uint32_t name, std::uint32_t version);
  void describe_output(Output& output) const;
  static void on_toplevel(void* data, wl_proxy* manager, wl_proxy* handle);
  static void on_toplevel_closed(void* data, wl_proxy* handle);
  bool wait_until(const bool& done);

  const wl::Client& wl_;
  wl_display* const display_;
  const pid_t owner_;
  std::atomic<bool> given_up_{false};
  wl_proxy* registry_ = nullptr;
  wl_proxy* xdg_manager_ = nullptr;
  std::vector<std::unique_ptr<Output>> outputs_;
  wl_proxy* toplevel_manager_ = nullptr;
  std::vector<std::unique_ptr<Toplevel>> toplevels_list_;
  Global screencopy_;
  Global shm_;
  Global toplevels_;
  std::mutex use_mutex_;
};

// The connection that monitor and window queries share; a new one replaces
// it once it has broken. Null without a compositor.
std::shared_ptr<Connection> shared_connection();

// Why no connection can be made now: the display tried, what failed and
// what to do; nothing while the shared connection works.
std::optional<std::string> unreachable_reason();

}  // namespace lumigrab::wayland
