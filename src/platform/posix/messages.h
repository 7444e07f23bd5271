// Thread message queues, thread ids and the last error, as user32 and
// kernel32 keep them, for the backends that run on POSIX systems.
//
// A thread's queue is made by its first GetMessageW (or ensure_message_queue)
// and goes with the thread; messages still in it are released then, as
// Windows discards them. A queue waits on an eventfd, so that a backend can
// make the same wait also wake for other sources (an X connection) through a
// QueueSource.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/win_types.h"

namespace lumigrab::posix {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

inline constexpr DWORD kErrorInvalidParameter = 87;

// --- last error (per thread) ---
void set_last_error(DWORD code);
DWORD last_error();

// --- threads ---
// Windows-like thread ids: multiples of four, never reused in a process.
DWORD current_thread_id();
// Milliseconds since the process first asked, as MSG::time counts them.
DWORD tick_count();
// The calling thread's name, or empty while it has the one every thread
// inherits from the process.
std::string current_thread_name();
void write_backtrace();

// --- message queues ---
void ensure_message_queue();
// Queues a message for `thread_id`; `dispatch`, when given, runs inside that
// thread's DispatchMessageW. False, with last error 1444, when the thread has
// no queue.
bool post_thread_message(DWORD thread_id, const MSG& msg, std::function<void()> dispatch = {});
// The message PostThreadMessageW queues, stamped with the time of posting.
MSG thread_message(UINT message, WPARAM wparam, LPARAM lparam);
// GetMessageW on the calling thread's queue: 1 for a message, 0 for WM_QUIT,
// -1 (with last error 87) without a message to fill or a queue to read.
BOOL get_message(MSG* msg, HWND window, UINT filter_min, UINT filter_max);
// Runs the dispatch action of a message that get_message returned.
void dispatch_message(const MSG* msg);
void post_quit_message(int exit_code);

// Something besides posted messages that the calling thread's GetMessageW
// waits on: a file descriptor and what to do when it may have input. `pump`
// runs on the queue's thread inside GetMessageW, before each wait and after
// the descriptor wakes it; it must not block, and it feeds the queue by
// posting, and must not end a QueueSource. A pump that returns false is done:
// neither it nor its descriptor is used again (a connection that broke). Removed when this goes,
// from any thread: the removal waits for a pump that is running.
class QueueSource {
 public:
  QueueSource(int fd, std::function<bool()> pump);
  QueueSource(const QueueSource&) = delete;
  QueueSource& operator=(const QueueSource&) = delete;
  ~QueueSource();

 private:
  struct Registration;
  std::unique_ptr<Registration> registration_;
};

}  // namespace lumigrab::posix
