#include "platform/wayland/connection.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string_view>
#include <unistd.h>

#include "platform/posix/shared_connection.h"

namespace lumigrab::wayland {

using Clock = std::chrono::steady_clock;

struct Connection::Output {
  Connection* owner = nullptr;
  wl_proxy* output = nullptr;
  wl_proxy* xdg = nullptr;
  OutputRecord record;
  std::int32_t mode_width = 0;
  std::int32_t mode_height = 0;
  std::int32_t transform = 0;
  bool has_mode = false;
  bool has_logical_position = false;
};

struct Connection::Toplevel {
  Connection* owner = nullptr;
  wl_proxy* handle = nullptr;
  ToplevelRecord record;
  bool described = false;  // after its first done event
};

namespace {

// --- event listeners: one entry per event of the version bound ---

struct RegistryListener {
  void (*global)(void*, wl_proxy*, std::uint32_t, const char*, std::uint32_t);
  void (*global_remove)(void*, wl_proxy*, std::uint32_t);
};

struct CallbackListener {
  void (*done)(void*, wl_proxy*, std::uint32_t);
};

void set_flag(void* data, wl_proxy* /*callback*/, std::uint32_t /*serial*/) {
  *static_cast<bool*>(data) = true;
}
const CallbackListener kCallbackListener{set_flag};

using Output = Connection::Output;

Output& output_of(void* data) {
  return *static_cast<Output*>(data);
}

void on_geometry(void* data, wl_proxy* /*output*/, std::int32_t x, std::int32_t y,
                 std::int32_t /*mm_width*/, std::int32_t /*mm_height*/, std::int32_t /*subpixel*/,
                 const char* /*make*/, const char* /*model*/, std::int32_t transform) {
  Output& o = output_of(data);
  o.transform = transform;
  if (!o.has_logical_position) {
    o.record.x = x;
    o.record.y = y;
  }
}

constexpr std::uint32_t kModeCurrent = 1;

void on_mode(void* data, wl_proxy* /*output*/, std::uint32_t flags, std::int32_t width,
             std::int32_t height, std::int32_t refresh) {
  if ((flags & kModeCurrent) == 0) {
    return;
  }
  Output& o = output_of(data);
  o.mode_width = width;
  o.mode_height = height;
  o.record.refresh_mhz = refresh;
  o.has_mode = true;
}

void on_output_done(void* /*data*/, wl_proxy* /*output*/) {}
void on_scale(void* /*data*/, wl_proxy* /*output*/, std::int32_t /*factor*/) {}

void on_output_name(void* data, wl_proxy* /*output*/, const char* name) {
  Output& o = output_of(data);
  if (o.record.name.empty() && name != nullptr) {
    o.record.name = name;
  }
}

void on_output_description(void* data, wl_proxy* /*output*/, const char* description) {
  Output& o = output_of(data);
  if (o.record.description.empty() && description != nullptr) {
    o.record.description = description;
  }
}

struct OutputListener {
  void (*geometry)(void*, wl_proxy*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                   std::int32_t, const char*, const char*, std::int32_t);
  void (*mode)(void*, wl_proxy*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t);
  void (*done)(void*, wl_proxy*);
  void (*scale)(void*, wl_proxy*, std::int32_t);
  void (*name)(void*, wl_proxy*, const char*);
  void (*description)(void*, wl_proxy*, const char*);
};
const OutputListener kOutputListener{on_geometry, on_mode,        on_output_done,
                                     on_scale,    on_output_name, on_output_description};

// xdg-output's position is the one in the desktop's own coordinates, which
// wl_output's geometry leaves at 0, 0 on many compositors; its name and
// description come before wl_output version 4's.
void on_logical_position(void* data, wl_proxy* /*xdg*/, std::int32_t x, std::int32_t y) {
  Output& o = output_of(data);
  o.record.x = x;
  o.record.y = y;
  o.has_logical_position = true;
}
void on_logical_size(void* /*data*/, wl_proxy* /*xdg*/, std::int32_t /*w*/, std::int32_t /*h*/) {}
void on_xdg_done(void* /*data*/, wl_proxy* /*xdg*/) {}
void on_xdg_name(void* data, wl_proxy* /*xdg*/, const char* name) {
  if (name != nullptr) {
    output_of(data).record.name = name;
  }
}
void on_xdg_description(void* data, wl_proxy* /*xdg*/, const char* description) {
  if (description != nullptr) {
    output_of(data).record.description = description;
  }
}

struct XdgOutputListener {
  void (*logical_position)(void*, wl_proxy*, std::int32_t, std::int32_t);
  void (*logical_size)(void*, wl_proxy*, std::int32_t, std::int32_t);
  void (*done)(void*, wl_proxy*);
  void (*name)(void*, wl_proxy*, const char*);
  void (*description)(void*, wl_proxy*, const char*);
};
const XdgOutputListener kXdgOutputListener{on_logical_position, on_logical_size, on_xdg_done,
                                           on_xdg_name, on_xdg_description};

// --- the window list ---

using Toplevel = Connection::Toplevel;

Toplevel& toplevel_of(void* data) {
  return *static_cast<Toplevel*>(data);
}

void on_title(void* data, wl_proxy* /*handle*/, const char* title) {
  toplevel_of(data).record.title = title != nullptr ? title : "";
}
void on_app_id(void* /*data*/, wl_proxy* /*handle*/, const char* /*app_id*/) {}
void on_output_enter(void* /*data*/, wl_proxy* /*handle*/, wl_proxy* /*output*/) {}
void on_output_leave(void* /*data*/, wl_proxy* /*handle*/, wl_proxy* /*output*/) {}

// zwlr_foreign_toplevel_handle_v1 states.
constexpr std::uint32_t kStateMinimized = 1;
constexpr std::uint32_t kStateActivated = 2;

void on_state(void* data, wl_proxy* /*handle*/, wl::wl_array* states) {
  Toplevel& t = toplevel_of(data);
  t.record.activated = false;
  t.record.minimized = false;
  const std::size_t count = states != nullptr ? states->size / sizeof(std::uint32_t) : 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t state = 0;
    std::memcpy(&state, static_cast<const char*>(states->data) + i * sizeof state, sizeof state);
    t.record.activated = t.record.activated || state == kStateActivated;
    t.record.minimized = t.record.minimized || state == kStateMinimized;
  }
}
void on_toplevel_done(void* data, wl_proxy* /*handle*/) {
  toplevel_of(data).described = true;
}
void on_parent(void* /*data*/, wl_proxy* /*handle*/, wl_proxy* /*parent*/) {}

struct ToplevelListener {
  void (*title)(void*, wl_proxy*, const char*);
  void (*app_id)(void*, wl_proxy*, const char*);
  void (*output_enter)(void*, wl_proxy*, wl_proxy*);
  void (*output_leave)(void*, wl_proxy*, wl_proxy*);
  void (*state)(void*, wl_proxy*, wl::wl_array*);
  void (*done)(void*, wl_proxy*);
  void (*closed)(void*, wl_proxy*);
  void (*parent)(void*, wl_proxy*, wl_proxy*);
};

void on_manager_finished(void* /*data*/, wl_proxy* /*manager*/) {}

struct ToplevelManagerListener {
  void (*toplevel)(void*, wl_proxy*, wl_proxy*);
  void (*finished)(void*, wl_proxy*);
};

template <typename Listener>
void listen(const wl::Client& wl, wl_proxy* proxy, const Listener& listener, void* data) {
  // libwayland takes the listener as an array of function pointers, which a
  // struct of them is laid out as.
  wl.proxy_add_listener(proxy, reinterpret_cast<void (**)()>(const_cast<Listener*>(&listener)),
                        data);
}

std::string display_name() {
  const char* const name = std::getenv("WAYLAND_DISPLAY");
  return name != nullptr && *name != '\0' ? name : "wayland-0";
}

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

}  // namespace

Connection::Connection(const wl::Client& wl, wl_display* display)
    : wl_(wl), display_(display), owner_(getpid()) {}

std::shared_ptr<Connection> Connection::open(std::string* why) {
  std::string missing;
  const wl::Client* wl = wl::client(&missing);
  if (wl == nullptr) {
    if (why != nullptr) {
      *why = missing;
    }
    return nullptr;
  }
  wl_display* const display = wl->display_connect(nullptr);
  if (display == nullptr) {
    if (why != nullptr) {
      *why = "cannot connect to Wayland display \"" + display_name() +
             "\": no compositor runs there, or it refused this client; run inside a Wayland "
             "session, or set WAYLAND_DISPLAY to the socket of a running compositor";
    }
    return nullptr;
  }
  std::shared_ptr<Connection> c(new Connection(*wl, display));
  auto* const display_proxy = reinterpret_cast<wl_proxy*>(display);
  c->registry_ = wl->proxy_marshal_flags(display_proxy, wl::request::kDisplayGetRegistry,
                                         wl->registry_interface,
                                         wl->proxy_get_version(display_proxy), 0, nullptr);
  static const RegistryListener kRegistryListener{on_global, on_global_remove};
  listen(*wl, c->registry_, kRegistryListener, c.get());
  // The first answer lists the globals; the second what the outputs bound
  // then say of themselves.
  if (!c->roundtrip() || !c->roundtrip()) {
    if (why != nullptr) {
      *why = "the Wayland compositor at \"" + display_name() + "\" did not answer";
    }
    return nullptr;
  }
  return c;
}

Connection::~Connection() {
  if (foreign()) {
    // The parent's connection, inherited by fork(): its socket is shared with
    // the parent, and its locks may be held by threads the child does not
    // have. Only the child's own descriptor goes.
    close(wl_.display_get_fd(display_));
    return;
  }
  for (const auto& o : outputs_) {
    if (o->xdg != nullptr) {
      wl_.proxy_marshal_flags(o->xdg, wl::request::kXdgOutputDestroy, nullptr,
                              wl_.proxy_get_version(o->xdg), wl::kMarshalDestroy);
    }
    if (wl_.proxy_get_version(o->output) >= 3) {
      wl_.proxy_marshal_flags(o->output, wl::request::kOutputRelease, nullptr,
                              wl_.proxy_get_version(o->output), wl::kMarshalDestroy);
    } else {
      wl_.proxy_destroy(o->output);
    }
  }
  for (const auto& t : toplevels_list_) {
    wl_.proxy_marshal_flags(t->handle, wl::request::kToplevelHandleDestroy, nullptr,
                            wl_.proxy_get_version(t->handle), wl::kMarshalDestroy);
  }
  if (toplevel_manager_ != nullptr) {
    // The manager answers stop with finished, which nobody waits for.
    wl_.proxy_destroy(toplevel_manager_);
  }
  if (xdg_manager_ != nullptr) {
    wl_.proxy_marshal_flags(xdg_manager_, wl::request::kXdgOutputManagerDestroy, nullptr,
                            wl_.proxy_get_version(xdg_manager_), wl::kMarshalDestroy);
  }
  if (registry_ != nullptr) {
    wl_.proxy_destroy(registry_);
  }
  wl_.display_flush(display_);
  wl_.display_disconnect(display_);
}

bool Connection::broken() const noexcept {
  return foreign() || given_up_.load(std::memory_order_relaxed) ||
         wl_.display_get_error(display_) != 0;
}

void Connection::on_global(void* data, wl_proxy* /*registry*/, std::uint32_t name,
                           const char* interface, std::uint32_t version) {
  auto& c = *static_cast<Connection*>(data);
  const std::string_view which = interface != nullptr ? interface : "";
  if (which == "wl_output") {
    c.add_output(name, version);
  } else if (which == "zxdg_output_manager_v1" && c.xdg_manager_ == nullptr) {
    c.xdg_manager_ = c.bind({name, version}, &wl::zxdg_output_manager_v1_interface, 3);
    for (const auto& o : c.outputs_) {
      c.describe_output(*o);
    }
  } else if (which == "zwlr_screencopy_manager_v1") {
    c.screencopy_ = {name, version};
  } else if (which == "wl_shm") {
    c.shm_ = {name, version};
  } else if (which == "zwlr_foreign_toplevel_manager_v1") {
    c.toplevels_ = {name, version};
  }
}

void Connection::on_global_remove(void* data, wl_proxy* /*registry*/, std::uint32_t name) {
  auto& c = *static_cast<Connection*>(data);
  const auto gone = std::find_if(c.outputs_.begin(), c.outputs_.end(),
                                 [name](const auto& o) { return o->record.global == name; });
  if (gone == c.outputs_.end()) {
    return;
  }
  const wl::Client& wl = c.wl_;
  if ((*gone)->xdg != nullptr) {
    wl.proxy_marshal_flags((*gone)->xdg, wl::request::kXdgOutputDestroy, nullptr,
                           wl.proxy_get_version((*gone)->xdg), wl::kMarshalDestroy);
  }
  wl.proxy_destroy((*gone)->output);
  c.outputs_.erase(gone);
}

wl_proxy* Connection::bind(const Global& which, const wl_interface* interface,
                           std::uint32_t version) const {
  const std::uint32_t bound = std::min(which.version, version);
  return wl_.proxy_marshal_flags(registry_, wl::request::kRegistryBind, interface, bound, 0,
                                 which.name, interface->name, bound, nullptr);
}

void Connection::add_output(std::uint32_t name, std::uint32_t version) {
  auto o = std::make_unique<Output>();
  o->owner = this;
  o->record.global = name;
  o->output = bind({name, version}, wl_.output_interface, 4);
  listen(wl_, o->output, kOutputListener, o.get());
  describe_output(*o);
  outputs_.push_back(std::move(o));
}

void Connection::describe_output(Output& o) const {
  if (xdg_manager_ == nullptr || o.xdg != nullptr) {
    return;
  }
  o.xdg = wl_.proxy_marshal_flags(xdg_manager_, wl::request::kXdgOutputManagerGetXdgOutput,
                                  &wl::zxdg_output_v1_interface,
                                  wl_.proxy_get_version(xdg_manager_), 0, nullptr, o.output);
  listen(wl_, o.xdg, kXdgOutputListener, &o);
}

std::vector<OutputRecord> Connection::outputs() const {
  std::vector<OutputRecord> records;
  for (const auto& o : outputs_) {
    if (!o->has_mode) {
      continue;
    }
    OutputRecord record = o->record;
    const bool swapped = wl::transform_swaps_axes(o->transform);
    record.width = swapped ? o->mode_height : o->mode_width;
    record.height = swapped ? o->mode_width : o->mode_height;
    records.push_back(std::move(record));
  }
  return records;
}

wl_proxy* Connection::output_proxy(std::uint32_t global) const noexcept {
  for (const auto& o : outputs_) {
    if (o->record.global == global) {
      return o->output;
    }
  }
  return nullptr;
}

void Connection::on_toplevel(void* data, wl_proxy* /*manager*/, wl_proxy* handle) {
  auto& c = *static_cast<Connection*>(data);
  auto t = std::make_unique<Toplevel>();
  t->owner = &c;
  t->handle = handle;
  // Numbered as Windows numbers its handles: multiples of four, never 0, and
  // never reused in the process, also by a later connection.
  static std::atomic<std::uintptr_t> last_id{0};
  t->record.id = last_id.fetch_add(4, std::memory_order_relaxed) + 4;
  static const ToplevelListener kListener{on_title,           on_app_id, on_output_enter,
                                          on_output_leave,    on_state,  on_toplevel_done,
                                          on_toplevel_closed, on_parent};
  listen(c.wl_, handle, kListener, t.get());
  c.toplevels_list_.push_back(std::move(t));
}

void Connection::on_toplevel_closed(void* data, wl_proxy* handle) {
  Connection& c = *toplevel_of(data).owner;
  const auto gone = std::find_if(c.toplevels_list_.begin(), c.toplevels_list_.end(),
                                 [handle](const auto& t) { return t->handle == handle; });
  if (gone == c.toplevels_list_.end()) {
    return;
  }
  c.wl_.proxy_marshal_flags(handle, wl::request::kToplevelHandleDestroy, nullptr,
                            c.wl_.proxy_get_version(handle), wl::kMarshalDestroy);
  c.toplevels_list_.erase(gone);
}

std::optional<std::vector<ToplevelRecord>> Connection::toplevels() {
  if (!toplevels_) {
    return std::nullopt;
  }
  if (toplevel_manager_ == nullptr) {
    toplevel_manager_ = bind(toplevels_, &wl::zwlr_foreign_toplevel_manager_v1_interface, 3);
    static const ToplevelManagerListener kListener{on_toplevel, on_manager_finished};
    listen(wl_, toplevel_manager_, kListener, this);
    // The first answer lists the windows; the second what they say of
    // themselves.
    if (!roundtrip()) {
      return std::nullopt;
    }
  }
  if (!roundtrip()) {
    return std::nullopt;
  }
  std::vector<ToplevelRecord> records;
  for (const auto& t : toplevels_list_) {
    if (t->described) {
      records.push_back(t->record);
    }
  }
  return records;
}

bool Connection::roundtrip() {
  if (broken()) {
    return false;
  }
  bool done = false;
  auto* display = reinterpret_cast<wl_proxy*>(display_);
  wl_proxy* const callback =
      wl_.proxy_marshal_flags(display, wl::request::kDisplaySync, wl_.callback_interface,
                              wl_.proxy_get_version(display), 0, nullptr);
  if (callback == nullptr) {
    return false;
  }
  listen(wl_, callback, kCallbackListener, &done);
  const bool answered = wait_until(done);
  wl_.proxy_destroy(callback);
  return answered;
}

bool Connection::wait_until(const bool& done) {
  const Clock::time_point deadline = Clock::now() + kServerTimeout;
  for (;;) {
    if (wl_.display_dispatch_pending(display_) < 0) {
      return false;
    }
    if (done) {
      return true;
    }
    if (wl_.display_prepare_read(display_) != 0) {
      continue;  // events came in meanwhile: dispatch them first
    }
    wl_.display_flush(display_);
    pollfd ready{fd(), POLLIN, 0};
    const int polled = poll(&ready, 1, milliseconds_until(deadline));
    if (polled <= 0) {
      wl_.display_cancel_read(display_);
      if (polled < 0 && errno == EINTR && Clock::now() < deadline) {
        continue;
      }
      given_up_ = true;
      return false;
    }
    if (wl_.display_read_events(display_) < 0) {
      return false;
    }
  }
}

bool Connection::pump() {
  if (broken()) {
    return false;
  }
  while (wl_.display_prepare_read(display_) != 0) {
    if (wl_.display_dispatch_pending(display_) < 0) {
      return false;
    }
  }
  pollfd ready{fd(), POLLIN, 0};
  if (poll(&ready, 1, 0) > 0) {
    wl_.display_read_events(display_);
  } else {
    wl_.display_cancel_read(display_);
  }
  wl_.display_dispatch_pending(display_);
  wl_.display_flush(display_);
  return !broken();
}

// --- the shared connection ---

namespace {

using SharedConnection = posix::SharedConnection<Connection, (3 * kServerTimeout).count()>;

}  // namespace

std::shared_ptr<Connection> shared_connection() {
  return SharedConnection::get();
}

std::optional<std::string> unreachable_reason() {
  return SharedConnection::unreachable_reason();
}

}  // namespace lumigrab::wayland
