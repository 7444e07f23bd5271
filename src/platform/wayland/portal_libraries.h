// The parts of libdbus-1 and libpipewire-0.3 that the ScreenCast portal path
// uses, declared here and loaded at run time, as libwayland-client is: the
// types carry the libraries' own names and layouts (from their public
// headers), and nothing is needed of them at build time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumigrab::portal {

// --- libdbus-1 ---
struct DBusConnection;
struct DBusMessage;

struct DBusError {
  const char* name;
  const char* message;
  unsigned int dummy;  // libdbus's bit fields
  void* padding1;
};

// libdbus's iterator is a plain struct of pointers and ints that the library
// fills in; this holds it with room to spare.
struct DBusMessageIter {
  alignas(8) unsigned char storage[128];
};

inline constexpr int kBusSession = 0;
inline constexpr int kTypeInvalid = 0;
inline constexpr int kTypeString = 's';
inline constexpr int kTypeObjectPath = 'o';
inline constexpr int kTypeUint32 = 'u';
inline constexpr int kTypeInt32 = 'i';
inline constexpr int kTypeBoolean = 'b';
inline constexpr int kTypeVariant = 'v';
inline constexpr int kTypeArray = 'a';
inline constexpr int kTypeStruct = 'r';
inline constexpr int kTypeDictEntry = 'e';
inline constexpr int kTypeUnixFd = 'h';

struct DBus {
  unsigned (*threads_init_default)();
  void (*error_init)(DBusError* error);
  void (*error_free)(DBusError* error);
  DBusConnection* (*bus_get_private)(int type, DBusError* error);
  void (*connection_set_exit_on_disconnect)(DBusConnection* connection, unsigned exit);
  void (*connection_close)(DBusConnection* connection);
  void (*connection_unref)(DBusConnection* connection);
  const char* (*bus_get_unique_name)(DBusConnection* connection);
  void (*bus_add_match)(DBusConnection* connection, const char* rule, DBusError* error);
  DBusMessage* (*message_new_method_call)(const char* destination, const char* path,
                                          const char* interface, const char* method);
  void (*message_unref)(DBusMessage* message);
  DBusMessage* (*connection_send_with_reply_and_block)(DBusConnection* connection,
                                                       DBusMessage* message, int timeout_ms,
                                                       DBusError* error);
  unsigned (*connection_read_write)(DBusConnection* connection, int timeout_ms);
  DBusMessage* (*connection_pop_message)(DBusConnection* connection);
  unsigned (*message_is_signal)(DBusMessage* message, const char* interface, const char* name);
  const char* (*message_get_path)(DBusMessage* message);
  void (*message_iter_init_append)(DBusMessage* message, DBusMessageIter* iter);
  unsigned (*message_iter_append_basic)(DBusMessageIter* iter, int type, const void* value);
  unsigned (*message_iter_open_container)(DBusMessageIter* iter, int type,
                                          const char* contained_signature, DBusMessageIter* sub);
  unsigned (*message_iter_close_container)(DBusMessageIter* iter, DBusMessageIter* sub);
  unsigned (*message_iter_init)(DBusMessage* message, DBusMessageIter* iter);
  int (*message_iter_get_arg_type)(DBusMessageIter* iter);
  void (*message_iter_get_basic)(DBusMessageIter* iter, void* value);
  unsigned (*message_iter_next)(DBusMessageIter* iter);
  void (*message_iter_recurse)(DBusMessageIter* iter, DBusMessageIter* sub);
};

// --- libpipewire-0.3 ---
struct pw_thread_loop;
struct pw_loop;
struct pw_context;
struct pw_core;
struct pw_properties;
struct pw_stream;
struct spa_dict;

struct spa_pod {
  std::uint32_t size;
  std::uint32_t type;
};

struct spa_chunk {
  std::uint32_t offset;
  std::uint32_t size;
  std::int32_t stride;
  std::int32_t flags;
};

struct spa_data {
  std::uint32_t type;
  std::uint32_t flags;
  std::int64_t fd;
  std::uint32_t mapoffset;
  std::uint32_t maxsize;
  void* data;
  spa_chunk* chunk;
};

struct spa_buffer {
  std::uint32_t n_metas;
  std::uint32_t n_datas;
  void* metas;
  spa_data* datas;
};

struct pw_buffer {
  spa_buffer* buffer;
  void* user_data;
  std::uint64_t size;
  std::uint64_t requested;
};

// A listener's place in a list: two list links, two callback words, a
// removal function and a private word, which the library fills in.
struct spa_hook {
  void* words[6];
};

inline constexpr std::uint32_t kStreamEventsVersion = 2;

struct pw_stream_events {
  std::uint32_t version;
  void (*destroy)(void* data);
  void (*state_changed)(void* data, int old_state, int state, const char* error);
  void (*control_info)(void* data, std::uint32_t id, const void* control);
  void (*io_changed)(void* data, std::uint32_t id, void* area, std::uint32_t size);
  void (*param_changed)(void* data, std::uint32_t id, const spa_pod* param);
  void (*add_buffer)(void* data, pw_buffer* buffer);
  void (*remove_buffer)(void* data, pw_buffer* buffer);
  void (*process)(void* data);
  void (*drained)(void* data);
  void (*command)(void* data, const void* command);
  void (*trigger_done)(void* data);
};

inline constexpr int kStreamStateError = -1;
inline constexpr int kStreamStateUnconnected = 0;
inline constexpr int kStreamStateStreaming = 3;
inline constexpr int kDirectionInput = 0;
inline constexpr std::uint32_t kStreamFlagAutoconnect = 1U << 0;
inline constexpr std::uint32_t kStreamFlagMapBuffers = 1U << 2;

struct PipeWire {
  void (*init)(int* argc, char*** argv);
  pw_thread_loop* (*thread_loop_new)(const char* name, const spa_dict* props);
  pw_loop* (*thread_loop_get_loop)(pw_thread_loop* loop);
  int (*thread_loop_start)(pw_thread_loop* loop);
  void (*thread_loop_stop)(pw_thread_loop* loop);
  void (*thread_loop_destroy)(pw_thread_loop* loop);
  void (*thread_loop_lock)(pw_thread_loop* loop);
  void (*thread_loop_unlock)(pw_thread_loop* loop);
  pw_context* (*context_new)(pw_loop* loop, pw_properties* props, std::size_t user_data_size);
  void (*context_destroy)(pw_context* context);
  pw_core* (*context_connect_fd)(pw_context* context, int fd, pw_properties* props,
                                 std::size_t user_data_size);
  int (*core_disconnect)(pw_core* core);
  pw_properties* (*properties_new)(const char* key, ...);
  pw_stream* (*stream_new)(pw_core* core, const char* name, pw_properties* props);
  void (*stream_add_listener)(pw_stream* stream, spa_hook* listener, const pw_stream_events* events,
                              void* data);
  int (*stream_connect)(pw_stream* stream, int direction, std::uint32_t target_id,
                        std::uint32_t flags, const spa_pod** params, std::uint32_t n_params);
  pw_buffer* (*stream_dequeue_buffer)(pw_stream* stream);
  int (*stream_queue_buffer)(pw_stream* stream, pw_buffer* buffer);
  void (*stream_destroy)(pw_stream* stream);
};

// The loaded libraries, or null with why (naming the library and its Debian
// package) in `*why`.
const DBus* dbus(std::string* why);
const PipeWire* pipewire(std::string* why);

}  // namespace lumigrab::portal
