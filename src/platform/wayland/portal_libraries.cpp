#include "platform/wayland/portal_libraries.h"

#include <cstring>
#include <dlfcn.h>
#include <optional>

namespace lumigrab::portal {
namespace {

template <typename Table>
struct Loaded {
  Table table{};
  std::optional<std::string> missing;
};

// Looks symbols of one library up into a table, remembering the first one
// that is missing.
class Loader {
 public:
  Loader(const char* file, const char* package, const char* what) : file_(file), package_(package) {
    // Never closed: the functions stay in use until the process ends.
    module_ = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) {
      const char* const reason = dlerror();
      missing_ = std::string(what) + " " + file + " cannot be loaded (" +
                 (reason != nullptr ? reason : "not found") + ")" + hint();
    }
  }

  template <typename Pointer>
  void operator()(const char* name, Pointer* pointer) {
    if (missing_) {
      return;
    }
    void* const symbol = dlsym(module_, name);
    if (symbol == nullptr) {
      missing_ = std::string(file_) + " has no " + name + " (it is too old)" + hint();
      return;
    }
    static_assert(sizeof(Pointer) == sizeof(void*));
    std::memcpy(pointer, &symbol, sizeof symbol);
  }

  std::optional<std::string> missing() const { return missing_; }

 private:
  std::string hint() const {
    return std::string("; install Debian's ") + package_ + " package (or your system's equivalent)";
  }

  const char* file_;
  const char* package_;
  void* module_ = nullptr;
  std::optional<std::string> missing_;
};

Loaded<DBus> load_dbus() {
  Loaded<DBus> loaded;
  Loader look_up("libdbus-1.so.3", "libdbus-1-3", "the D-Bus library");
  DBus& d = loaded.table;
  look_up("dbus_threads_init_default", &d.threads_init_default);
  look_up("dbus_error_init", &d.error_init);
  look_up("dbus_error_free", &d.error_free);
  look_up("dbus_bus_get_private", &d.bus_get_private);
  look_up("dbus_connection_set_exit_on_disconnect", &d.connection_set_exit_on_disconnect);
  look_up("dbus_connection_close", &d.connection_close);
  look_up("dbus_connection_unref", &d.connection_unref);
  look_up("dbus_bus_get_unique_name", &d.bus_get_unique_name);
  look_up("dbus_bus_add_match", &d.bus_add_match);
  look_up("dbus_message_new_method_call", &d.message_new_method_call);
  look_up("dbus_message_unref", &d.message_unref);
  look_up("dbus_connection_send_with_reply_and_block", &d.connection_send_with_reply_and_block);
  look_up("dbus_connection_read_write", &d.connection_read_write);
  look_up("dbus_connection_pop_message", &d.connection_pop_message);
  look_up("dbus_message_is_signal", &d.message_is_signal);
  look_up("dbus_message_get_path", &d.message_get_path);
  look_up("dbus_message_iter_init_append", &d.message_iter_init_append);
  look_up("dbus_message_iter_append_basic", &d.message_iter_append_basic);
  look_up("dbus_message_iter_open_container", &d.message_iter_open_container);
  look_up("dbus_message_iter_close_container", &d.message_iter_close_container);
  look_up("dbus_message_iter_init", &d.message_iter_init);
  look_up("dbus_message_iter_get_arg_type", &d.message_iter_get_arg_type);
  look_up("dbus_message_iter_get_basic", &d.message_iter_get_basic);
  look_up("dbus_message_iter_next", &d.message_iter_next);
  look_up("dbus_message_iter_recurse", &d.message_iter_recurse);
  loaded.missing = look_up.missing();
  if (!loaded.missing) {
    // Connections are used from more than one thread.
    d.threads_init_default();
  }
  return loaded;
}

Loaded<PipeWire> load_pipewire() {
  Loaded<PipeWire> loaded;
  Loader look_up("libpipewire-0.3.so.0", "libpipewire-0.3-0", "the PipeWire library");
  PipeWire& p = loaded.table;
  look_up("pw_init", &p.init);
  look_up("pw_thread_loop_new", &p.thread_loop_new);
  look_up("pw_thread_loop_get_loop", &p.thread_loop_get_loop);
  look_up("pw_thread_loop_start", &p.thread_loop_start);
  look_up("pw_thread_loop_stop", &p.thread_loop_stop);
  look_up("pw_thread_loop_destroy", &p.thread_loop_destroy);
  look_up("pw_thread_loop_lock", &p.thread_loop_lock);
  look_up("pw_thread_loop_unlock", &p.thread_loop_unlock);
  look_up("pw_context_new", &p.context_new);
  look_up("pw_context_destroy", &p.context_destroy);
  look_up("pw_context_connect_fd", &p.context_connect_fd);
  look_up("pw_core_disconnect", &p.core_disconnect);
  look_up("pw_properties_new", &p.properties_new);
  look_up("pw_stream_new", &p.stream_new);
  look_up("pw_stream_add_listener", &p.stream_add_listener);
  look_up("pw_stream_connect", &p.stream_connect);
  look_up("pw_stream_dequeue_buffer", &p.stream_dequeue_buffer);
  look_up("pw_stream_queue_buffer", &p.stream_queue_buffer);
  look_up("pw_stream_destroy", &p.stream_destroy);
  loaded.missing = look_up.missing();
  if (!loaded.missing) {
    p.init(nullptr, nullptr);
  }
  return loaded;
}

template <typename Table>
const Table* table_of(const Loaded<Table>& loaded, std::string* why) {
  if (loaded.missing) {
    if (why != nullptr) {
      *why = *loaded.missing;
    }
    return nullptr;
  }
  return &loaded.table;
}

}  // namespace

const DBus* dbus(std::string* why) {
  static const Loaded<DBus> loaded = load_dbus();
  return table_of(loaded, why);
}

const PipeWire* pipewire(std::string* why) {
  static const Loaded<PipeWire> loaded = load_pipewire();
  return table_of(loaded, why);
}

}  // namespace lumigrab::portal
