#include "platform/x11/connection.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <cstring>
#include <mutex>

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

}  // namespace

std::shared_ptr<Connection> Connection::open() {
  int screen_number = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screen_number);
  // xcb_connect hands back an error object even on failure; it still needs
  // xcb_disconnect.
  std::shared_ptr<Connection> made(new Connection(c, screen_number));
  if (made->broken() || made->screen_ == nullptr) {
    return nullptr;
  }
  return made;
}

Connection::Connection(xcb_connection_t* c, int screen_number) : c_(c) {
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
  for (std::size_t i = 0; i < std::size(kAtomNames); ++i) {
    if (auto atom = reply(c_, atom_cookies[i], xcb_intern_atom_reply)) {
      atoms_[i] = atom->atom;
    }
  }

  const auto present = [this](xcb_extension_t* id) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c_, id);
    return data != nullptr && data->present != 0;
  };
  if (present(&xcb_randr_id)) {
    // Monitors came with RandR 1.5.
    auto version = reply(c_, xcb_randr_query_version(c_, 1, 5), xcb_randr_query_version_reply);
    randr_monitors_ = version && (version->major_version > 1 || version->minor_version >= 5);
  }
  if (present(&xcb_shm_id)) {
    auto version = reply(c_, xcb_shm_query_version(c_), xcb_shm_query_version_reply);
    shm_ = version != nullptr;
  }
  if (present(&xcb_xfixes_id)) {
    xfixes_ =
        reply(c_, xcb_xfixes_query_version(c_, 4, 0), xcb_xfixes_query_version_reply) != nullptr;
  }
  if (xfixes_ && present(&xcb_damage_id)) {
    // DAMAGE answers only clients that announced XFIXES first.
    auto version = reply(c_, xcb_damage_query_version(c_, 1, 1), xcb_damage_query_version_reply);
    damage_ = version != nullptr;
    damage_event_ = xcb_get_extension_data(c_, &xcb_damage_id)->first_event;
  }
  if (present(&xcb_composite_id)) {
    // Redirection came with 0.2.
    auto version =
        reply(c_, xcb_composite_query_version(c_, 0, 4), xcb_composite_query_version_reply);
    composite_ = version && (version->major_version > 0 || version->minor_version >= 2);
  }
}

Connection::~Connection() { xcb_disconnect(c_); }

bool Connection::lsb_first() const noexcept {
  return xcb_get_setup(c_)->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
}

std::shared_ptr<Connection> shared_connection() {
  static std::mutex mutex;
  static std::shared_ptr<Connection> current;
  const std::lock_guard lock(mutex);
  if (!current || current->broken()) {
    current = Connection::open();
  }
  return current;
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

Property get_property(const Connection& c, xcb_window_t window, xcb_atom_t name,
                      xcb_atom_t type) {
  Property result;
  if (name == XCB_ATOM_NONE) {
    return result;
  }
  auto value = reply(c.get(), xcb_get_property(c.get(), 0, window, name, type, 0, kPropertyLongs),
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
