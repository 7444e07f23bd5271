// The two records a capture shares with its capture thread, each behind its
// own mutex. The id cell's lock may be taken while the slot's is held, never
// the other way round.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "lib/live_count.h"
#include "platform/com_ptr.h"
#include "platform/win_types.h"

namespace lumigrab::capture {

class CaptureThreadIdCell;

// The thread message that tells a capture thread that a read-back found the
// stored frame's device lost, or that a caller with nothing to read (a wait
// that heard nothing for a while, frame() before the first frame) asks
// (WM_APP + 1): the thread then replaces its device, if that is lost, and
// starts a new session on the new one. A pool on a lost device may never
// raise FrameArrived again, so the thread cannot count on learning of the
// loss from the pool.
inline constexpr win::UINT kDeviceLossReport = 0x8000 + 1;

// A staging texture that read-backs of one capture's frames share, kept for
// the next read-back of the same size on the same device instead of a new one
// per call. Lent to one read-back at a time; one that finds it lent makes
// a texture of its own.
struct StagingTexture {
  std::mutex mutex;
  // Guarded by `mutex`.
  ComPtr<abi::ID3D11Texture2D> texture;
  ComPtr<abi::ID3D11Device> device;  // the one `texture` belongs to
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool lent = false;
};

// The most recent accepted frame, still on the GPU, with the device and
// immediate context that can read it back. The texture is one of the frame
// pool's buffers: holding `capture_frame` keeps the pool from writing a newer
// frame into it. Once the capture thread has closed the pool (and let go of
// `capture_frame`), nothing writes to it any more.
struct LatestFrame {
  ComPtr<abi::ID3D11Texture2D> texture;
  ComPtr<abi::ID3D11Device> device;
  ComPtr<abi::ID3D11DeviceContext> context;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  ComPtr<abi::IDirect3D11CaptureFrame> capture_frame;
  std::shared_ptr<StagingTexture> staging;  // may be null: nothing kept
  // Where to send kDeviceLossReport; may be null.
  std::shared_ptr<CaptureThreadIdCell> capture_thread;
};

// Tells the frame's capture thread when `failure`, a read-back's, says the
// frame's device is lost, or the device says so itself.
void report_if_device_lost(const LatestFrame& frame, win::HRESULT failure);

// Holds at most one LatestFrame. A frame is released only under the slot's
// lock, so a read-back in `with_frame` never sees its frame go away.
class LatestFrameSlot : public LiveCount<LatestFrameSlot> {
 public:
  LatestFrameSlot() = default;
  LatestFrameSlot(const LatestFrameSlot&) = delete;
  LatestFrameSlot& operator=(const LatestFrameSlot&) = delete;

  // Runs read(const LatestFrame&) with the slot locked for the whole call, so
  // the capture thread waits to store a newer frame until it returns. False,
  // without calling read, when the slot is empty.
  template <typename F>
  bool with_frame(F&& read) const {
    std::lock_guard lock(mutex_);
    if (!frame_) {
      return false;
    }
    std::forward<F>(read)(std::as_const(*frame_));
    return true;
  }

  // As above, also passing the frame's number: frames are numbered from 1 in
  // the order they are stored, over the life of the slot.
  template <typename F>
  bool with_numbered_frame(F&& read) const {
    std::lock_guard lock(mutex_);
    if (!frame_) {
      return false;
    }
    std::forward<F>(read)(std::as_const(*frame_), stored_);
    return true;
  }

  // Puts `frame` in the slot; the frame it replaces is released under the lock.
  // Wakes every wait_for_newer.
  void store(LatestFrame frame);
  // Empties the slot, releasing its frame under the lock, and ends every
  // wait_for_newer that began before.
  void clear();
  bool has_frame() const;
  // Lets go of the stored frame's runtime frame object, keeping its texture:
  // for the capture thread, before it leaves the Windows Runtime.
  void release_capture_frame();
  // Sends kDeviceLossReport to the stored frame's capture thread when that
  // frame's device is lost: for a waiter that reads nothing meanwhile. False
  // when no frame is stored, and so no device known here.
  bool report_lost_device() const;

  // How many times the slot has been cleared; a waiter that sees it change
  // knows that the capture it waited on was stopped.
  std::uint64_t clears() const;

  // The writer of the slot (a capture thread) has ended, or a new one begins.
  // Ending wakes every wait_for_newer.
  void set_writer_ended(bool ended);

  enum class Wait { Newer, Cleared, WriterEnded, TimedOut };

  // Blocks until the slot holds a frame numbered above `seen`, the slot was
  // cleared after `clears` was read, its writer has ended, or `until` has
  // passed, whichever comes first. Uses no CPU while it blocks.
  Wait wait_for_newer(std::uint64_t seen, std::uint64_t clears,
                      std::chrono::steady_clock::time_point until) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::optional<LatestFrame> frame_;
  std::uint64_t stored_ = 0;
  std::uint64_t clears_ = 0;
  bool writer_ended_ = false;
};

// Where a capture thread tells its owner which thread to send the quit
// message to, and where an owner that asks the thread to quit before the id is
// known leaves that request for the thread to find.
class CaptureThreadIdCell : public LiveCount<CaptureThreadIdCell> {
 public:
  CaptureThreadIdCell() = default;
  CaptureThreadIdCell(const CaptureThreadIdCell&) = delete;
  CaptureThreadIdCell& operator=(const CaptureThreadIdCell&) = delete;

  // Forgets the id and any quit request, before a new thread is started.
  void reset();

  // The capture thread's one write. False when a quit was requested before
  // the id was there to post to: the thread then must not wait for WM_QUIT.
  bool publish(win::DWORD thread_id);

  // Takes the id and posts WM_QUIT to it while the lock is held, so the thread
  // cannot publish in between; without an id, leaves a quit request instead.
  // A failing post (the thread has already ended) is ignored; a withdrawn id
  // is not posted to.
  void request_quit();

  // Posts kDeviceLossReport to the thread while it has published its id and
  // not yet withdrawn it, unless a report is on its way already: however many
  // read-backs fail meanwhile, the queue holds at most one, and a quit posted
  // after them is not held up behind a backlog.
  void report_device_loss() const;
  // The same for a caller that has no frame to look at, and so cannot tell
  // whether the device is lost: at most once every 100 ms, however often it
  // asks.
  void ask_to_look_at_device() const;

  // The thread's acknowledgement of the report it took: later losses are
  // reported again.
  void take_device_loss_report();

  // The thread's last word: its id, still reported by thread_id(), is no
  // longer one to post to (Windows may give it to another thread).
  void withdraw();

  std::optional<win::DWORD> thread_id() const;

 private:
  mutable std::mutex mutex_;
  std::optional<win::DWORD> thread_id_;
  bool quit_requested_ = false;
  bool withdrawn_ = false;
  mutable bool loss_reported_ = false;
  mutable std::chrono::steady_clock::time_point last_ask_{};
};

}  // namespace lumigrab::capture
