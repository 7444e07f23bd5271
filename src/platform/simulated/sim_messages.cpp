// Thread message queues, threads and the process, as user32 and kernel32
// offer them: the queues of platform/posix, with each call logged and open to
// an injected fault.
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/platform.h"
#include "platform/posix/messages.h"
#include "platform/simulated/sim_core.h"
#include "platform/simulated/sim_internal.h"

namespace lumigrab::sim {
namespace {

std::string message_text(const MSG* msg) {
  return msg == nullptr ? "NULL" : detail::hex(msg->message);
}

}  // namespace

void ensure_message_queue() {
  posix::ensure_message_queue();
}

bool post_thread_message(DWORD thread_id, const MSG& msg, std::function<void()> dispatch) {
  return posix::post_thread_message(thread_id, msg, std::move(dispatch));
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

using sim::detail::handle_text;
using sim::detail::hex;

const char* backend_name() noexcept {
  return "simulated";
}

std::optional<std::string> desktop_unreachable() {
  return std::nullopt;
}

std::optional<std::string> windows_unlisted() {
  return std::nullopt;
}

bool cursor_captured_by_default() noexcept {
  return true;
}

BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  sim::log_call("PostThreadMessageW(" + hex(thread_id) + ", " + hex(message) + ", " +
                std::to_string(wparam) + ", " + std::to_string(lparam) + ")");
  if (sim::detail::fails("PostThreadMessageW")) {
    return 0;
  }
  const MSG msg = posix::thread_message(message, wparam, lparam);
  return sim::post_thread_message(thread_id, msg) ? 1 : 0;
}

BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max) {
  sim::log_call("GetMessageW(" + handle_text(window) + ", " + hex(filter_min) + ", " +
                hex(filter_max) + ")");
  if (sim::detail::fails("GetMessageW")) {
    return -1;
  }
  return posix::get_message(msg, window, filter_min, filter_max);
}

BOOL TranslateMessage(const MSG* msg) {
  sim::log_call("TranslateMessage(" + sim::message_text(msg) + ")");
  return 0;  // no keyboard messages to translate
}

LRESULT DispatchMessageW(const MSG* msg) {
  sim::log_call("DispatchMessageW(" + sim::message_text(msg) + ")");
  posix::dispatch_message(msg);
  return 0;
}

void PostQuitMessage(int exit_code) {
  sim::log_call("PostQuitMessage(" + std::to_string(exit_code) + ")");
  posix::post_quit_message(exit_code);
}

DWORD GetCurrentThreadId() {
  sim::log_call("GetCurrentThreadId()");
  return sim::current_thread_id();
}

DWORD GetCurrentProcessId() {
  sim::log_call("GetCurrentProcessId()");
  return sim::own_process_id();
}

std::thread spawn_thread(std::function<void()> body) {
  sim::log_call("CreateThread()");
  if (sim::take_fault("CreateThread")) {
    throw std::system_error(EAGAIN, std::generic_category());
  }
  return std::thread(std::move(body));
}

std::string current_thread_name() {
  return posix::current_thread_name();
}

void write_backtrace() {
  posix::write_backtrace();
}

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

}  // namespace lumigrab::platform
