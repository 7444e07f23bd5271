// The platform operations of the Linux build, each forwarded to the desktop
// chosen when one is first needed: Wayland where a Wayland session is
// reachable ($WAYLAND_DISPLAY names a socket that takes a connection),
// otherwise X11. Under a Wayland session an X11 client sees only the other
// X11 clients (through XWayland), so X11 is not used there.
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/linux/operations.h"

namespace lumigrab::platform {
namespace {

bool wayland_reachable() {
  const char* const name = std::getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0') {
    return false;
  }
  std::string path = name;
  if (path.front() != '/') {
    const char* const runtime_dir = std::getenv("XDG_RUNTIME_DIR");
    if (runtime_dir == nullptr || *runtime_dir == '\0') {
      return false;
    }
    path = std::string(runtime_dir) + "/" + path;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    return false;
  }
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  const bool connected =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

bool on_wayland() {
  static const bool chosen = wayland_reachable();
  return chosen;
}

}  // namespace

#define LUMIGRAB_FORWARD_TO_DESKTOP(result, name, parameters, arguments, qualifiers) \
  result name parameters qualifiers {                                                \
    return on_wayland() ? with_wayland::name arguments : with_x11::name arguments;   \
  }
LUMIGRAB_DESKTOP_OPERATIONS(LUMIGRAB_FORWARD_TO_DESKTOP)
#undef LUMIGRAB_FORWARD_TO_DESKTOP

// X11 lists every window a desktop has.
std::optional<std::string> windows_unlisted() {
  return on_wayland() ? with_wayland::windows_unlisted() : std::nullopt;
}

// The POSIX core, alike for both desktops.
#define LUMIGRAB_FORWARD_TO_CORE(result, name, parameters, arguments, qualifiers) \
  result name parameters qualifiers {                                             \
    return with_x11::name arguments;                                              \
  }
LUMIGRAB_SHARED_OPERATIONS(LUMIGRAB_FORWARD_TO_CORE)
#undef LUMIGRAB_FORWARD_TO_CORE

}  // namespace lumigrab::platform
