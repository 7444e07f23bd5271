#include "platform/wayland/portal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>
#include <vector>

#include "platform/wayland/client.h"
#include "platform/wayland/portal_libraries.h"

namespace lumigrab::portal {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kObject = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

// Calls that answer at once, and the requests that may wait for the user.
constexpr int kCallTimeoutMs = 3000;
constexpr auto kResponseTimeout = std::chrono::seconds(3);
constexpr auto kConsentTimeout = std::chrono::minutes(5);

constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::uint32_t kResponseCancelled = 1;
constexpr const char* kCancelled = "screen sharing was cancelled in the desktop's dialog";

// --- D-Bus ---

using Value = std::variant<std::string, std::uint32_t, bool>;
using Options = std::vector<std::pair<std::string, Value>>;

class Bus {
 public:
  static std::unique_ptr<Bus> open(std::string* why) {
    const DBus* d = dbus(why);
    if (d == nullptr) {
      return nullptr;
    }
    DBusError error;
    d->error_init(&error);
    DBusConnection* c = d->bus_get_private(kBusSession, &error);
    if (c == nullptr) {
      *why = std::string("the session bus cannot be reached (") +
             (error.message != nullptr ? error.message : "no address") + ")";
      d->error_free(&error);
      return nullptr;
    }
    d->connection_set_exit_on_disconnect(c, 0);
    return std::unique_ptr<Bus>(new Bus(*d, c));
  }

  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;
  ~Bus() {
    d_.connection_close(c_);
    d_.connection_unref(c_);
  }

  const DBus& d() const noexcept { return d_; }

  // Sends `message` (taken) and returns the reply, or null with why.
  DBusMessage* call(DBusMessage* message, std::string* why, int timeout_ms = kCallTimeoutMs) {
    DBusError error;
    d_.error_init(&error);
    DBusMessage* reply = d_.connection_send_with_reply_and_block(c_, message, timeout_ms, &error);
    d_.message_unref(message);
    if (reply == nullptr) {
      *why = std::string("the ScreenCast portal did not answer (") +
             (error.message != nullptr ? error.message : "no reply") + ")";
      d_.error_free(&error);
    }
    return reply;
  }

  DBusMessage* method(const char* path, const char* interface, const char* name) const {
    return d_.message_new_method_call(kService, path, interface, name);
  }

  // A property of the ScreenCast interface that is a number; nothing when the
  // portal does not have it.
  std::optional<std::uint32_t> property(const char* name, std::string* why) {
    DBusMessage* message = method(kObject, kProperties, "Get");
    DBusMessageIter args;
    d_.message_iter_init_append(message, &args);
    append_string(&args, kScreenCast);
    append_string(&args, name);
    DBusMessage* reply = call(message, why);
    if (reply == nullptr) {
      return std::nullopt;
    }
    std::optional<std::uint32_t> value;
    DBusMessageIter it;
    DBusMessageIter inner;
    if (d_.message_iter_init(reply, &it) != 0 &&
        d_.message_iter_get_arg_type(&it) == kTypeVariant) {
      d_.message_iter_recurse(&it, &inner);
      if (d_.message_iter_get_arg_type(&inner) == kTypeUint32) {
        std::uint32_t number = 0;
        d_.message_iter_get_basic(&inner, &number);
        value = number;
      }
    }
    d_.message_unref(reply);
    return value;
  }

  void append_string(DBusMessageIter* it, const std::string& text, int type = kTypeString) const {
    const char* value = text.c_str();
    d_.message_iter_append_basic(it, type, &value);
  }

  void append_options(DBusMessageIter* it, const Options& options) const {
    DBusMessageIter dict;
    d_.message_iter_open_container(it, kTypeArray, "{sv}", &dict);
    for (const auto& [key, value] : options) {
      DBusMessageIter entry;
      DBusMessageIter variant;
      d_.message_iter_open_container(&dict, kTypeDictEntry, nullptr, &entry);
      append_string(&entry, key);
      if (const auto* text = std::get_if<std::string>(&value)) {
        d_.message_iter_open_container(&entry, kTypeVariant, "s", &variant);
        append_string(&variant, *text);
      } else if (const auto* number = std::get_if<std::uint32_t>(&value)) {
        d_.message_iter_open_container(&entry, kTypeVariant, "u", &variant);
        d_.message_iter_append_basic(&variant, kTypeUint32, number);
      } else {
        const unsigned flag = std::get<bool>(value) ? 1 : 0;
        d_.message_iter_open_container(&entry, kTypeVariant, "b", &variant);
        d_.message_iter_append_basic(&variant, kTypeBoolean, &flag);
      }
      d_.message_iter_close_container(&entry, &variant);
      d_.message_iter_close_container(&dict, &entry);
    }
    d_.message_iter_close_container(it, &dict);
  }

  // Calls a ScreenCast method that answers through a Request object: `args`
  // appends the arguments, given the options to end with (which carry the
  // request's token); `results` reads the Response's results. The response
  // code, or nothing with why.
  std::optional<std::uint32_t> request(
      const char* name, const std::function<void(DBusMessageIter*, const Options&)>& args,
      Options options, const std::function<void(DBusMessageIter*)>& results,
      Clock::duration timeout, std::string* why) {
    const std::string token =
        "lumigrab" + std::to_string(getpid()) + "_" + std::to_string(++last_token_);
    const std::string path =
        std::string("/org/freedesktop/portal/desktop/request/") + sender_ + "/" + token;
    listen_for_response(path);
    options.emplace_back("handle_token", token);
    DBusMessage* message = method(kObject, kScreenCast, name);
    DBusMessageIter it;
    d_.message_iter_init_append(message, &it);
    args(&it, options);
    DBusMessage* reply = call(message, why);
    if (reply == nullptr) {
      return std::nullopt;
    }
    // Older portals name their own request object.
    std::string handle = path;
    DBusMessageIter answer;
    if (d_.message_iter_init(reply, &answer) != 0 &&
        d_.message_iter_get_arg_type(&answer) == kTypeObjectPath) {
      const char* named = nullptr;
      d_.message_iter_get_basic(&answer, &named);
      if (named != nullptr && handle != named) {
        handle = named;
        listen_for_response(handle);
      }
    }
    d_.message_unref(reply);
    return await_response(handle, results, timeout, why);
  }

  // Closes a portal session.
  void close_session(const std::string& session) {
    std::string ignored;
    if (DBusMessage* reply = call(method(session.c_str(), kSession, "Close"), &ignored)) {
      d_.message_unref(reply);
    }
  }

  // Reads every entry of an a{sv} dictionary at `it`.
  void for_each_entry(DBusMessageIter* it,
                      const std::function<void(const std::string&, DBusMessageIter*)>& entry) {
    if (d_.message_iter_get_arg_type(it) != kTypeArray) {
      return;
    }
    DBusMessageIter dict;
    d_.message_iter_recurse(it, &dict);
    while (d_.message_iter_get_arg_type(&dict) == kTypeDictEntry) {
      DBusMessageIter pair;
      d_.message_iter_recurse(&dict, &pair);
      const char* key = nullptr;
      if (d_.message_iter_get_arg_type(&pair) == kTypeString) {
        d_.message_iter_get_basic(&pair, &key);
        d_.message_iter_next(&pair);
        if (d_.message_iter_get_arg_type(&pair) == kTypeVariant) {
          DBusMessageIter value;
          d_.message_iter_recurse(&pair, &value);
          entry(key != nullptr ? key : "", &value);
        }
      }
      d_.message_iter_next(&dict);
    }
  }

  std::optional<std::string> text(DBusMessageIter* it) const {
    const int type = d_.message_iter_get_arg_type(it);
    if (type != kTypeString && type != kTypeObjectPath) {
      return std::nullopt;
    }
    const char* value = nullptr;
    d_.message_iter_get_basic(it, &value);
    return std::string(value != nullptr ? value : "");
  }

  // An (ii) struct.
  std::optional<std::pair<std::int32_t, std::int32_t>> pair(DBusMessageIter* it) const {
    if (d_.message_iter_get_arg_type(it) != kTypeStruct) {
      return std::nullopt;
    }
    DBusMessageIter inner;
    d_.message_iter_recurse(it, &inner);
    std::int32_t first = 0;
    std::int32_t second = 0;
    if (d_.message_iter_get_arg_type(&inner) != kTypeInt32) {
      return std::nullopt;
    }
    d_.message_iter_get_basic(&inner, &first);
    d_.message_iter_next(&inner);
    if (d_.message_iter_get_arg_type(&inner) != kTypeInt32) {
      return std::nullopt;
    }
    d_.message_iter_get_basic(&inner, &second);
    return std::pair{first, second};
  }

 private:
  Bus(const DBus& d, DBusConnection* c) : d_(d), c_(c) {
    // The request path names the caller by its unique name, without the
    // colon and with dots as underscores.
    const char* unique = d_.bus_get_unique_name(c_);
    for (const char* p = unique != nullptr ? unique : ""; *p != '\0'; ++p) {
      if (*p != ':') {
        sender_.push_back(*p == '.' ? '_' : *p);
      }
    }
  }

  void listen_for_response(const std::string& path) {
    const std::string rule = std::string("type='signal',interface='") + kRequest +
                             "',member='Response',path='" + path + "'";
    DBusError error;
    d_.error_init(&error);
    d_.bus_add_match(c_, rule.c_str(), &error);
    d_.error_free(&error);
  }

  std::optional<std::uint32_t> await_response(const std::string& handle,
                                              const std::function<void(DBusMessageIter*)>& results,
                                              Clock::duration timeout, std::string* why) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
      // The response can come before the reply to the call that asked for
      // it, and is then queued already, while the call waited: what is
      // queued is looked at before waiting for more.
      while (DBusMessage* message = d_.connection_pop_message(c_)) {
        const char* path = d_.message_get_path(message);
        if (d_.message_is_signal(message, kRequest, "Response") != 0 && path != nullptr &&
            handle == path) {
          std::uint32_t code = 2;
          DBusMessageIter it;
          if (d_.message_iter_init(message, &it) != 0 &&
              d_.message_iter_get_arg_type(&it) == kTypeUint32) {
            d_.message_iter_get_basic(&it, &code);
            d_.message_iter_next(&it);
            results(&it);
          }
          d_.message_unref(message);
          return code;
        }
        d_.message_unref(message);
      }
      const Clock::time_point now = Clock::now();
      if (now >= deadline) {
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      if (d_.connection_read_write(c_, static_cast<int>(std::max<long long>(1, left.count()))) ==
          0) {
        *why = "the session bus closed while the ScreenCast portal was asked";
        return std::nullopt;
      }
    }
    *why = "the ScreenCast portal did not answer in time";
    return std::nullopt;
  }

  const DBus& d_;
  DBusConnection* const c_;
  std::string sender_;
  unsigned last_token_ = 0;
};

// --- the restore token, kept per monitor in the user's state directory ---

std::string state_directory() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    return std::string(state) + "/lumigrab";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return std::string(home) + "/.local/state/lumigrab";
  }
  return {};
}

std::string token_file(const Rect& monitor) {
  const std::string directory = state_directory();
  if (directory.empty()) {
    return {};
  }
  return directory + "/screencast-" + std::to_string(monitor.x) + "_" + std::to_string(monitor.y) +
         "_" + std::to_string(monitor.width) + "x" + std::to_string(monitor.height) + ".token";
}

std::string read_token(const Rect& monitor) {
  std::ifstream in(token_file(monitor));
  std::string token;
  std::getline(in, token);
  return token;
}

void write_token(const Rect& monitor, const std::string& token) {
  const std::string file = token_file(monitor);
  if (file.empty()) {
    return;
  }
  // Each level private to the user, made as needed.
  std::string directory = state_directory();
  for (std::size_t slash = directory.find('/', 1); slash != std::string::npos;
       slash = directory.find('/', slash + 1)) {
    mkdir(directory.substr(0, slash).c_str(), 0700);
  }
  mkdir(directory.c_str(), 0700);
  std::ofstream out(file, std::ios::trunc);
  out << token << '\n';
}

// --- PipeWire ---

// The wire format of SPA's typed values ("pods"), as much as a video format
// needs: each value a size and a type, then its body, padded to 8 bytes.
namespace pod {
constexpr std::uint32_t kId = 3;
constexpr std::uint32_t kRectangle = 10;
constexpr std::uint32_t kFraction = 11;
constexpr std::uint32_t kObject = 15;
constexpr std::uint32_t kChoice = 19;
constexpr std::uint32_t kChoiceRange = 1;
constexpr std::uint32_t kChoiceEnum = 3;
constexpr std::uint32_t kObjectFormat = 0x40003;
constexpr std::uint32_t kParamEnumFormat = 3;
constexpr std::uint32_t kParamFormat = 4;
constexpr std::uint32_t kMediaType = 1;
constexpr std::uint32_t kMediaSubtype = 2;
constexpr std::uint32_t kVideoFormat = 0x20001;
constexpr std::uint32_t kVideoSize = 0x20003;
constexpr std::uint32_t kVideoFramerate = 0x20004;
constexpr std::uint32_t kMediaVideo = 2;
constexpr std::uint32_t kSubtypeRaw = 1;
constexpr std::uint32_t kRGBx = 7;
constexpr std::uint32_t kBGRx = 8;
constexpr std::uint32_t kRGBA = 11;
constexpr std::uint32_t kBGRA = 12;

class Builder {
 public:
  // Starts an object; `end_object` fills in its size.
  void begin_object(std::uint32_t type, std::uint32_t id) {
    object_ = words_.size();
    words_.insert(words_.end(), {0, kObject, type, id});
  }
  void end_object() {
    words_[object_] = static_cast<std::uint32_t>((words_.size() - object_ - 2) * 4);
  }
  void id(std::uint32_t key, std::uint32_t value) {
    words_.insert(words_.end(), {key, 0, 4, kId, value, 0});
  }
  // A choice of `kind` among `values`, each `per_value` words of `type`.
  void choice(std::uint32_t key, std::uint32_t kind, std::uint32_t type,
              std::vector<std::uint32_t> values, std::uint32_t per_value) {
    const auto body = static_cast<std::uint32_t>(16 + values.size() * 4);
    words_.insert(words_.end(), {key, 0, body, kChoice, kind, 0, per_value * 4, type});
    words_.insert(words_.end(), values.begin(), values.end());
    if (values.size() % 2 != 0) {
      words_.push_back(0);
    }
  }
  const spa_pod* pod() const { return reinterpret_cast<const spa_pod*>(words_.data()); }

 private:
  std::vector<std::uint32_t> words_;
  std::size_t object_ = 0;
};

// The first value of property `key` of object `object` (a plain value, or
// the first of a choice): its type and body.
std::optional<std::pair<std::uint32_t, const std::uint32_t*>> find(const spa_pod* object,
                                                                   std::uint32_t key) {
  if (object == nullptr || object->type != kObject || object->size < 8) {
    return std::nullopt;
  }
  const auto* base = reinterpret_cast<const std::uint8_t*>(object) + 8;
  std::size_t at = 8;  // past the object's type and id
  while (at + 16 <= object->size) {
    std::uint32_t head[4];
    std::memcpy(head, base + at, sizeof head);
    const std::uint32_t size = head[2];
    const std::uint32_t type = head[3];
    const auto* body = reinterpret_cast<const std::uint32_t*>(base + at + 16);
    if (at + 16 + size > object->size) {
      return std::nullopt;
    }
    if (head[0] == key) {
      if (type == kChoice && size >= 16) {
        return std::pair{body[3], body + 4};
      }
      return std::pair{type, body};
    }
    at += 16 + (size + 7) / 8 * 8;
  }
  return std::nullopt;
}
}  // namespace pod

// The wl_shm format with the same bytes in memory as a PipeWire video format.
std::optional<std::uint32_t> shm_format_of(std::uint32_t video_format) {
  switch (video_format) {
    case pod::kBGRx:
    case pod::kBGRA: return wl::kShmXrgb8888;
    case pod::kRGBx:
    case pod::kRGBA: return wl::kShmXbgr8888;
    default: return std::nullopt;
  }
}

}  // namespace

struct ScreenCast::State {
  std::unique_ptr<Bus> bus;
  std::string session;
  Deliver deliver;
  const PipeWire* pw = nullptr;
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  // Set on PipeWire's thread only.
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::optional<std::uint32_t> format;
  std::vector<std::shared_ptr<wayland::Pixels>> kept;
  bool streamed = false;
  const std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);

  ~State() {
    if (loop != nullptr) {
      pw->thread_loop_lock(loop);
      if (stream != nullptr) {
        pw->stream_destroy(stream);
      }
      if (core != nullptr) {
        pw->core_disconnect(core);
      }
      pw->thread_loop_unlock(loop);
      pw->thread_loop_stop(loop);
      if (context != nullptr) {
        pw->context_destroy(context);
      }
      pw->thread_loop_destroy(loop);
    }
    if (bus && !session.empty()) {
      bus->close_session(session);
    }
  }

  static State& of(void* data) { return *static_cast<State*>(data); }

  // A stream that stops streaming once it has streamed lost its source: the
  // portal's side or PipeWire went away (the stream is then paused), or it
  // failed. Its frames cannot be read until it streams again.
  static void on_state(void* data, int /*old_state*/, int state, const char* /*error*/) {
    State& s = of(data);
    if (state == kStreamStateStreaming) {
      s.streamed = true;
      s.alive->store(true, std::memory_order_release);
    } else if (state == kStreamStateError || s.streamed) {
      s.alive->store(false, std::memory_order_release);
    }
  }

  static void on_param(void* data, std::uint32_t id, const spa_pod* param) {
    State& s = of(data);
    if (id != pod::kParamFormat || param == nullptr) {
      return;
    }
    const auto format = pod::find(param, pod::kVideoFormat);
    const auto size = pod::find(param, pod::kVideoSize);
    if (format && format->first == pod::kId) {
      s.format = shm_format_of(format->second[0]);
    }
    if (size && size->first == pod::kRectangle) {
      s.width = size->second[0];
      s.height = size->second[1];
    }
  }

  static void on_process(void* data) {
    State& s = of(data);
    pw_buffer* b = s.pw->stream_dequeue_buffer(s.stream);
    if (b == nullptr) {
      return;
    }
    const spa_buffer* buffer = b->buffer;
    if (buffer != nullptr && buffer->n_datas > 0 && s.format && s.width > 0 && s.height > 0) {
      const spa_data& d = buffer->datas[0];
      if (d.data != nullptr && d.chunk != nullptr && d.chunk->size > 0) {
        s.take(d);
      }
    }
    s.pw->stream_queue_buffer(s.stream, b);
  }

  // Copies the frame in `d` into pixels no frame shows, and delivers them.
  void take(const spa_data& d) {
    const std::uint32_t row = width * 4;
    const std::uint32_t stride =
        d.chunk->stride > 0 ? static_cast<std::uint32_t>(d.chunk->stride) : row;
    const std::uint64_t offset = d.chunk->offset % std::max<std::uint32_t>(1, d.maxsize);
    if (stride < row || offset + std::uint64_t{stride} * (height - 1) + row > d.maxsize) {
      return;
    }
    std::shared_ptr<wayland::Pixels> free;
    for (auto it = kept.begin(); it != kept.end();) {
      const bool fits =
          (*it)->width() == width && (*it)->height() == height && (*it)->format() == *format;
      if (it->use_count() == 1 && !fits) {
        it = kept.erase(it);
        continue;
      }
      if (it->use_count() == 1 && !free) {
        free = *it;
      }
      ++it;
    }
    if (free) {
      std::atomic_thread_fence(std::memory_order_acquire);
    } else {
      free = wayland::Pixels::create(width, height, row, *format, alive);
      if (!free) {
        return;
      }
      kept.push_back(free);
    }
    const auto* from = static_cast<const std::uint8_t*>(d.data) + offset;
    auto* to = const_cast<std::uint8_t*>(free->data());
    for (std::uint32_t y = 0; y < height; ++y) {
      std::memcpy(to + std::size_t{y} * row, from + std::size_t{y} * stride, row);
    }
    deliver(free);
  }
};

ScreenCast::ScreenCast(std::unique_ptr<State> state) : state_(std::move(state)) {}

ScreenCast::~ScreenCast() = default;

std::unique_ptr<ScreenCast> ScreenCast::start(const Rect& wanted, bool cursor, Deliver deliver,
                                              std::string* why) {
  auto state = std::make_unique<State>();
  state->deliver = std::move(deliver);
  state->bus = Bus::open(why);
  if (!state->bus) {
    return nullptr;
  }
  Bus& bus = *state->bus;
  const DBus& d = bus.d();
  const auto sources = bus.property("AvailableSourceTypes", why);
  if (!sources) {
    return nullptr;
  }
  if ((*sources & kSourceMonitor) == 0) {
    *why = "the desktop's ScreenCast portal does not share monitors";
    return nullptr;
  }
  const std::uint32_t cursor_modes = bus.property("AvailableCursorModes", why).value_or(0);
  const std::uint32_t version = bus.property("version", why).value_or(0);

  // CreateSession, then SelectSources, then Start: each answers through a
  // Response signal.
  std::string session;
  const auto created = bus.request(
      "CreateSession", [&bus](DBusMessageIter* it, const Options& o) { bus.append_options(it, o); },
      {{"session_handle_token", std::string("lumigrab")}},
      [&](DBusMessageIter* results) {
        bus.for_each_entry(results, [&](const std::string& key, DBusMessageIter* value) {
          if (key == "session_handle") {
            session = bus.text(value).value_or("");
          }
        });
      },
      kResponseTimeout, why);
  if (!created) {
    return nullptr;
  }
  if (*created != 0 || session.empty()) {
    *why = "the desktop's ScreenCast portal refused to open a session";
    return nullptr;
  }
  state->session = session;
  const auto with_session = [&bus, &session](DBusMessageIter* it, const Options& o) {
    bus.append_string(it, session, kTypeObjectPath);
    bus.append_options(it, o);
  };

  Options select{{"types", kSourceMonitor}, {"multiple", false}};
  if ((cursor_modes & (cursor ? kCursorEmbedded : kCursorHidden)) != 0) {
    select.emplace_back("cursor_mode", cursor ? kCursorEmbedded : kCursorHidden);
  }
  if (version >= 4) {
    select.emplace_back("persist_mode", kPersistUntilRevoked);
    if (const std::string token = read_token(wanted); !token.empty()) {
      select.emplace_back("restore_token", token);
    }
  }
  // Some portals (the wlroots one) ask the user here, others at Start.
  const auto selected = bus.request(
      "SelectSources", with_session, select, [](DBusMessageIter*) {}, kConsentTimeout, why);
  if (!selected) {
    return nullptr;
  }
  if (*selected == kResponseCancelled) {
    *why = kCancelled;
    return nullptr;
  }
  if (*selected != 0) {
    *why = "the desktop's ScreenCast portal refused to share a monitor (response " +
           std::to_string(*selected) + ")";
    return nullptr;
  }

  std::optional<std::uint32_t> node;
  std::optional<std::pair<std::int32_t, std::int32_t>> position;
  std::optional<std::pair<std::int32_t, std::int32_t>> size;
  std::string restore_token;
  const auto started = bus.request(
      "Start",
      [&bus, &session](DBusMessageIter* it, const Options& o) {
        bus.append_string(it, session, kTypeObjectPath);
        bus.append_string(it, "");  // no parent window
        bus.append_options(it, o);
      },
      {},
      [&](DBusMessageIter* results) {
        bus.for_each_entry(results, [&](const std::string& key, DBusMessageIter* value) {
          if (key == "restore_token") {
            restore_token = bus.text(value).value_or("");
            return;
          }
          if (key != "streams" || d.message_iter_get_arg_type(value) != kTypeArray) {
            return;
          }
          DBusMessageIter streams;
          d.message_iter_recurse(value, &streams);
          if (d.message_iter_get_arg_type(&streams) != kTypeStruct) {
            return;
          }
          DBusMessageIter stream;
          d.message_iter_recurse(&streams, &stream);
          if (d.message_iter_get_arg_type(&stream) == kTypeUint32) {
            std::uint32_t id = 0;
            d.message_iter_get_basic(&stream, &id);
            node = id;
            d.message_iter_next(&stream);
            bus.for_each_entry(&stream, [&](const std::string& name, DBusMessageIter* fact) {
              if (name == "position") {
                position = bus.pair(fact);
              } else if (name == "size") {
                size = bus.pair(fact);
              }
            });
          }
        });
      },
      kConsentTimeout, why);
  if (!started) {
    return nullptr;
  }
  if (*started == kResponseCancelled) {
    *why = kCancelled;
    return nullptr;
  }
  if (*started != 0 || !node) {
    *why = "the desktop's ScreenCast portal ended the request without sharing a monitor";
    return nullptr;
  }
  // The user may have picked another monitor than the one asked for. Some
  // portals (the wlroots one) place every monitor at 0, 0: a position is
  // compared only where it says more.
  const bool same_place = !position || (position->first == 0 && position->second == 0) ||
                          (position->first == wanted.x && position->second == wanted.y);
  const bool same_size = !size || (size->first == wanted.width && size->second == wanted.height);
  if (!same_place || !same_size) {
    *why = "the desktop shared another monitor than the one asked for (the one at " +
           std::to_string(position ? position->first : 0) + ", " +
           std::to_string(position ? position->second : 0) + ", " +
           std::to_string(size ? size->first : 0) + "x" + std::to_string(size ? size->second : 0) +
           "); pick the requested one in the desktop's dialog";
    return nullptr;
  }
  if (!restore_token.empty()) {
    write_token(wanted, restore_token);
  }

  // The PipeWire connection the portal opened for this session.
  DBusMessage* open = bus.method(kObject, kScreenCast, "OpenPipeWireRemote");
  DBusMessageIter args;
  d.message_iter_init_append(open, &args);
  with_session(&args, {});
  DBusMessage* reply = bus.call(open, why);
  if (reply == nullptr) {
    return nullptr;
  }
  int fd = -1;
  DBusMessageIter it;
  if (d.message_iter_init(reply, &it) != 0 && d.message_iter_get_arg_type(&it) == kTypeUnixFd) {
    d.message_iter_get_basic(&it, &fd);
  }
  d.message_unref(reply);
  if (fd < 0) {
    *why = "the desktop's ScreenCast portal gave no PipeWire connection";
    return nullptr;
  }

  State& s = *state;
  s.pw = pipewire(why);
  if (s.pw == nullptr) {
    close(fd);
    return nullptr;
  }
  const PipeWire& pw = *s.pw;
  s.loop = pw.thread_loop_new("lumigrab-pipewire", nullptr);
  s.context =
      s.loop != nullptr ? pw.context_new(pw.thread_loop_get_loop(s.loop), nullptr, 0) : nullptr;
  if (s.context == nullptr || pw.thread_loop_start(s.loop) != 0) {
    close(fd);
    *why = "PipeWire could not be started in this process";
    return nullptr;
  }
  pw.thread_loop_lock(s.loop);
  s.core = pw.context_connect_fd(s.context, fd, nullptr, 0);  // takes the descriptor
  if (s.core != nullptr) {
    s.stream = pw.stream_new(s.core, "lumigrab",
                             pw.properties_new("media.type", "Video", "media.category", "Capture",
                                               "media.role", "Screen", nullptr));
  }
  static const pw_stream_events kEvents{kStreamEventsVersion,
                                        nullptr,
                                        State::on_state,
                                        nullptr,
                                        nullptr,
                                        State::on_param,
                                        nullptr,
                                        nullptr,
                                        State::on_process,
                                        nullptr,
                                        nullptr,
                                        nullptr};
  int connected = -1;
  if (s.stream != nullptr) {
    pw.stream_add_listener(s.stream, &s.listener, &kEvents, &s);
    pod::Builder formats;
    formats.begin_object(pod::kObjectFormat, pod::kParamEnumFormat);
    formats.id(pod::kMediaType, pod::kMediaVideo);
    formats.id(pod::kMediaSubtype, pod::kSubtypeRaw);
    formats.choice(pod::kVideoFormat, pod::kChoiceEnum, pod::kId,
                   {pod::kBGRx, pod::kBGRx, pod::kRGBx, pod::kBGRA, pod::kRGBA}, 1);
    formats.choice(pod::kVideoSize, pod::kChoiceRange, pod::kRectangle,
                   {static_cast<std::uint32_t>(wanted.width),
                    static_cast<std::uint32_t>(wanted.height), 1, 1, 16384, 16384},
                   2);
    formats.choice(pod::kVideoFramerate, pod::kChoiceRange, pod::kFraction, {60, 1, 0, 1, 1000, 1},
                   2);
    formats.end_object();
    const spa_pod* params[] = {formats.pod()};
    connected = pw.stream_connect(s.stream, kDirectionInput, *node,
                                  kStreamFlagAutoconnect | kStreamFlagMapBuffers, params, 1);
  }
  pw.thread_loop_unlock(s.loop);
  if (connected < 0) {
    *why = "the screen-cast stream could not be connected through PipeWire";
    return nullptr;
  }
  return std::unique_ptr<ScreenCast>(new ScreenCast(std::move(state)));
}

}  // namespace lumigrab::portal
