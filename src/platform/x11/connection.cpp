#include "platform/x11/connection.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/shared_connection.h"

namespace lumigrab::x11 {
namespace {

constexpr std::string_view kAtomNames[] = {
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_CLIENT_LIST",
    "_NET_ACTIVE_WINDOW",
    "_NET_WM_NAME",
    "_NET_WM_PID",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "WM_STATE",
    "UTF8_STRING",
    "COMPOUND_TEXT",
};
static_assert(std::size(kAtomNames) == static_cast<std::size_t>(Atom::Count));

// Property values are read in one request up to this many 32-bit units.
constexpr std::uint32_t kPropertyLongs = 1U << 20;

constexpr std::string_view kWhatToDo =
    "; set DISPLAY to the display of a running X server, or run under xvfb-run";

// Why xcb_connect failed with `error`, naming the display it tried.
std::string connect_failure(int error) {
  const char* const display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    return "DISPLAY is not set, so there is no X display to connect to" + std::string(kWhatToDo);
  }
  const std::string named = std::string("\"") + display + "\"";
  std::string what;
  switch (error) {
    case XCB_CONN_ERROR:
      what = "cannot connect to X display " + named +
             ": no X server runs there, or it refused this client";
      break;
    case XCB_CONN_CLOSED_PARSE_ERR:
      what = "DISPLAY " + named + " is not the name of an X display";
      break;
    case XCB_CONN_CLOSED_INVALID_SCREEN: what = "X display " + named + " has no such screen"; break;
    default:
      what = "the connection to X display " + named + " failed (xcb error " +
             std::to_string(error) + ")";
      break;
  }
  return what + std::string(kWhatToDo);
}

// While a read waits, another thread's read on the same connection may take
// its answer off the socket; the wait then sees it on its next look.
constexpr auto kAwaitSlice = std::chrono::milliseconds(50);

using Clock = std::chrono::steady_clock;

int milliseconds_until(Clock::time_point deadline, std::chrono::milliseconds most) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp(left, std::chrono::milliseconds(0), most).count());
}

// A socket connected to the local `display` (":number[.screen]"), or -1. A
// server over the network is left to xcb_connect: greeting it without the
// authorization it expects would have an SSH-forwarded display report a
// rejected connection on the user's terminal.
int connect_to_display(std::string_view display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string_view::npos) {
    return -1;
  }
  const std::string_view host = display.substr(0, colon);
  std::string_view number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if ((!host.empty() && host != "unix") || number.empty() || number.size() > 4 ||
      number.find_first_not_of("0123456789") != std::string_view::npos) {
    return -1;
  }
  const std::string path = "/tmp/.X11-unix/X" + std::string(number);
  // The abstract name first, as libxcb tries it.
  for (const bool abstract : {true, false}) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      return fd;
    }
    close(fd);
  }
  return -1;
}

// Whether the server of $DISPLAY greets a client within kServerTimeout.
// xcb_connect waits for the greeting without a limit, so a stopped server
// would hold the caller forever; any answer, a refusal too, shows it alive.
// True also where the display is not a local one this check knows how to
// reach: xcb_connect then decides, and waits as long as it waits.
bool server_answers() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr) {
    return true;
  }
  const Clock::time_point deadline = Clock::now() + kServerTimeout;
  const int fd = connect_to_display(display);
  if (fd < 0) {
    return true;
  }
  // A connection setup in this machine's byte order for protocol 0.0, which
  // no server speaks: the server refuses it at once, and since it never had
  // this client, its leaving does not reset the server. (A server started
  // without -noreset resets when its last client goes, and refuses the
  // connection that follows while it does.)
  std::uint8_t setup[12] = {};
  setup[0] = std::endian::native == std::endian::little ? 'l' : 'B';
  bool answered = false;
  if (send(fd, setup, sizeof setup, MSG_NOSIGNAL | MSG_DONTWAIT) == sizeof setup) {
    pollfd readable{fd, POLLIN, 0};
    answered = poll(&readable, 1, milliseconds_until(deadline, kServerTimeout)) == 1;
  }
  close(fd);
  return answered;
}

using SharedConnection = posix::SharedConnection<Connection, (3 * kServerTimeout).count()>;

}  // namespace

std::shared_ptr<Connection> Connection::open(std::string* why) {
  if (const std::optional<std::string>& missing = load_xcb()) {
    if (why != nullptr) {
      *why = *missing;
    }
    return nullptr;
  }
  if (!server_answers()) {
    if (why != nullptr) {
      *why = "the X server of display \"" + std::string(std::getenv("DISPLAY")) +
             "\" did not answer within " + std::to_string(kServerTimeout.count()) + " ms" +
             std::string(kWhatToDo);
    }
    return nullptr;
  }
  int screen_number = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screen_number);
  // xcb_connect hands back an error object even on failure; it still needs
  // xcb_disconnect.
  std::shared_ptr<Connection> made(new Connection(c, screen_number));
  if (made->broken() || made->screen_ == nullptr) {
    if (why != nullptr) {
      *why = connect_failure(made->broken() ? xcb_connection_has_error(c)
                                            : XCB_CONN_CLOSED_INVALID_SCREEN);
    }
    return nullptr;
  }
  return made;
}

Connection::Connection(xcb_connection_t* c, int screen_number) : c_(c), owner_(getpid()) {
  if (xcb_connection_has_error(c_) != 0) {
    return;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c_));
  for (int i = 0; i < screen_number && screens.rem > 0; ++i) {
    xcb_screen_next(&screens);
  }
  if (screens.rem == 0) {
    return;
  }
  screen_ = screens.data;

  // Every request goes out before the first reply is awaited.
  xcb_intern_atom_cookie_t atom_cookies[std::size(kAtomNames)];
  for (std::size_t i = 0; i < std::size(kAtomNames); ++i) {
    atom_cookies[i] = xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(kAtomNames[i].size()),
                                      kAtomNames[i].data());
  }
  xcb_prefetch_extension_data(c_, &xcb_randr_id);
  xcb_prefetch_extension_data(c_, &xcb_shm_id);
  xcb_prefetch_extension_data(c_, &xcb_damage_id);
  xcb_prefetch_extension_data(c_, &xcb_composite_id);
  xcb_prefetch_extension_data(c_, &xcb_xfixes_id);
  // Answers come in order: once this one is in, xcb_get_extension_data below
  // finds every extension's answer there and waits for none.
  if (!reply(*this, xcb_get_input_focus(c_), xcb_get_input_focus_reply)) {
    return;
  }
  for (std::size_t i = 0; i < std::size(kAtomNames); ++i) {
    if (auto atom = reply(*this, atom_cookies[i], xcb_intern_atom_reply)) {
      atoms_[i] = atom->atom;
    }
  }

  const auto present = [this](xcb_extension_t* id) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c_, id);
    return data != nullptr && data->present != 0;
  };
  if (present(&xcb_randr_id)) {
    // Monitors came with RandR 1.5.
    auto version = reply(*this, xcb_randr_query_version(c_, 1, 5), xcb_randr_query_version_reply);
    randr_monitors_ = version && (version->major_version > 1 || version->minor_version >= 5);
  }
  if (present(&xcb_shm_id)) {
    auto version = reply(*this, xcb_shm_query_version(c_), xcb_shm_query_version_reply);
    shm_ = version != nullptr;
  }
  if (present(&xcb_xfixes_id)) {
    xfixes_ =
        reply(*this, xcb_xfixes_query_version(c_, 4, 0), xcb_xfixes_query_version_reply) != nullptr;
  }
  if (xfixes_ && present(&xcb_damage_id)) {
    // DAMAGE answers only clients that announced XFIXES first.
    auto version = reply(*this, xcb_damage_query_version(c_, 1, 1), xcb_damage_query_version_reply);
    damage_ = version != nullptr;
    damage_event_ = xcb_get_extension_data(c_, &xcb_damage_id)->first_event;
  }
  if (present(&xcb_composite_id)) {
    // Redirection came with 0.2.
    auto version =
        reply(*this, xcb_composite_query_version(c_, 0, 4), xcb_composite_query_version_reply);
    composite_ = version && (version->major_version > 0 || version->minor_version >= 2);
  }
}

Connection::~Connection() {
  if (foreign()) {
    // The parent's connection, inherited by fork(): its socket is shared with
    // the parent, whose conversation a shutdown or a request would break, and
    // its locks may be held by threads the child does not have. Only the
    // child's own descriptor goes; the library's record of it stays.
    close(xcb_get_file_descriptor(c_));
    return;
  }
  xcb_disconnect(c_);
}

bool Connection::foreign() const noexcept {
  return owner_ != getpid();
}

bool Connection::await(unsigned int sequence, void** answer, xcb_generic_error_t** error) const {
  *answer = nullptr;
  *error = nullptr;
  if (broken() || xcb_flush(c_) <= 0) {
    return false;
  }
  const Clock::time_point deadline = Clock::now() + kServerTimeout;
  for (;;) {
    if (xcb_poll_for_reply(c_, sequence, answer, error) != 0) {
      return !broken() || *answer != nullptr;
    }
    if (Clock::now() >= deadline) {
      given_up_.store(true, std::memory_order_relaxed);
      return false;
    }
    pollfd readable{xcb_get_file_descriptor(c_), POLLIN, 0};
    poll(&readable, 1, milliseconds_until(deadline, kAwaitSlice));
  }
}

bool Connection::check(xcb_void_cookie_t cookie) const {
  // A request without a reply is known to be done once a later one's reply
  // is in.
  if (!reply(*this, xcb_get_input_focus(c_), xcb_get_input_focus_reply)) {
    return false;
  }
  void* answer = nullptr;
  xcb_generic_error_t* error = nullptr;
  if (xcb_poll_for_reply(c_, cookie.sequence, &answer, &error) == 0) {
    return false;
  }
  std::free(answer);
  const bool taken = error == nullptr;
  std::free(error);
  return taken;
}

bool Connection::lsb_first() const noexcept {
  return xcb_get_setup(c_)->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
}

namespace {}  // namespace

std::shared_ptr<Connection> shared_connection() {
  return SharedConnection::get();
}

std::optional<std::string> unreachable_reason() {
  return SharedConnection::unreachable_reason();
}

std::vector<std::uint32_t> Property::words() const {
  std::vector<std::uint32_t> result;
  if (format != 32) {
    return result;
  }
  result.resize(bytes.size() / 4);
  std::memcpy(result.data(), bytes.data(), result.size() * 4);
  return result;
}

Property get_property(const Connection& c, xcb_window_t window, xcb_atom_t name, xcb_atom_t type) {
  Property result;
  if (name == XCB_ATOM_NONE) {
    return result;
  }
  auto value = reply(c, xcb_get_property(c.get(), 0, window, name, type, 0, kPropertyLongs),
                     xcb_get_property_reply);
  if (!value || value->type == XCB_ATOM_NONE) {
    return result;
  }
  result.exists = true;
  result.type = value->type;
  result.format = value->format;
  const auto* data = static_cast<const char*>(xcb_get_property_value(value.get()));
  result.bytes.assign(data, static_cast<std::size_t>(xcb_get_property_value_length(value.get())));
  return result;
}

}  // namespace lumigrab::x11
