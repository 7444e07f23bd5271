// The X11 backend's Direct3D 11 device: device creation, and textures,
// which the shared immediate context copies and maps.
//
// A frame's texture stands for a rectangle of the captured drawable and holds
// no pixels. CopyResource into a staging texture asks for that rectangle with
// MIT-SHM GetImage requests into the staging texture's shared-memory segment;
// Map hands out that segment, and CopyMappedRows takes the answers band by
// band and turns each into R, G, B, A straight into the caller's rows.
// Segments go back to the device when their texture is released, so that the
// next read-back writes into memory that is already mapped.
#include "platform/x11/d3d.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <vector>

#include "frame/pixels.h"
#include "platform/platform.h"
#include "platform/posix/d3d_objects.h"
#include "platform/posix/objects.h"
#include "platform/x11/connection.h"

namespace lumigrab::x11 {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)
using abi::D3D11_MAPPED_SUBRESOURCE;
using abi::D3D11_TEXTURE2D_DESC;
using posix::make_object;

namespace {

constexpr HRESULT kDxgiUnsupported = static_cast<HRESULT>(0x887A0004U);
constexpr HRESULT kDeviceRemoved = static_cast<HRESULT>(0x887A0005U);  // DXGI_ERROR_DEVICE_REMOVED
// Segments a device keeps for reuse: one for the read-back in progress, one
// for a caller that holds on to a texture.
constexpr std::size_t kKeptSegments = 2;
// Bytes of one band of a read-back: each band is converted while the server
// writes the next. Bands of 1 MiB read 1920x1080 and 3840x2160 frames faster
// than bands of 256 KiB (fewer answers to wait for) and than one request for
// the whole (nothing overlaps).
constexpr std::uint32_t kBandBytes = 1024 * 1024;

// A System V shared-memory segment attached here and by the X server.
class ShmSegment {
 public:
  static std::unique_ptr<ShmSegment> create(std::shared_ptr<Connection> c, std::size_t size) {
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) {
      return nullptr;
    }
    std::unique_ptr<ShmSegment> made(new ShmSegment(std::move(c), id, size));
    return made->attached_ ? std::move(made) : nullptr;
  }

  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;
  ~ShmSegment() {
    if (attached_ && !c_->broken()) {
      xcb_shm_detach(c_->get(), seg_);
      xcb_flush(c_->get());
    }
    if (data_ != nullptr) {
      shmdt(data_);
    }
  }

  std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(data_); }
  std::size_t size() const noexcept { return size_; }
  xcb_shm_seg_t id() const noexcept { return seg_; }

 private:
  ShmSegment(std::shared_ptr<Connection> c, int id, std::size_t size)
      : c_(std::move(c)), size_(size), seg_(c_->new_id()) {
    void* data = shmat(id, nullptr, 0);
    if (data != reinterpret_cast<void*>(-1)) {
      data_ = data;
      attached_ =
          c_->check(xcb_shm_attach_checked(c_->get(), seg_, static_cast<std::uint32_t>(id), 0));
    }
    // Marked for removal once both sides have attached: the segment then goes
    // away with the last detach, even if this process dies.
    shmctl(id, IPC_RMID, nullptr);
  }

  std::shared_ptr<Connection> c_;
  std::size_t size_;
  xcb_shm_seg_t seg_;
  void* data_ = nullptr;
  bool attached_ = false;
};

// Which rectangle of which drawable a kept frame shows, in which layout.
struct FrameKey {
  xcb_drawable_t drawable = XCB_NONE;
  std::int16_t x = 0;
  std::int16_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  PixelLayout layout;

  bool operator==(const FrameKey& other) const noexcept {
    return drawable == other.drawable && x == other.x && y == other.y && width == other.width &&
           height == other.height && layout.bits_per_pixel == other.layout.bits_per_pixel &&
           layout.scanline_pad == other.layout.scanline_pad &&
           layout.red_mask == other.layout.red_mask &&
           layout.green_mask == other.layout.green_mask &&
           layout.blue_mask == other.layout.blue_mask;
  }
};

// The last frame read of one rectangle, as the server sent it, with a DAMAGE
// object that gathers what the server has drawn there since: the next read
// asks only for that. Its segment holds the frame's rows, then room for the
// damaged rectangles, which come packed and are then put in place.
class KeptFrame {
 public:
  static std::unique_ptr<KeptFrame> make(std::shared_ptr<Connection> c, const FrameKey& key,
                                         std::unique_ptr<ShmSegment> segment) {
    if (!segment) {
      return nullptr;
    }
    return std::unique_ptr<KeptFrame>(new KeptFrame(std::move(c), key, std::move(segment)));
  }

  KeptFrame(const KeptFrame&) = delete;
  KeptFrame& operator=(const KeptFrame&) = delete;
  ~KeptFrame() {
    if (!c_->broken()) {
      xcb_damage_destroy(c_->get(), damage_);
      xcb_xfixes_destroy_region(c_->get(), parts_);
      xcb_flush(c_->get());
    }
  }

  // Bytes of the frame's rows, and of the room after them.
  static std::size_t frame_bytes(const FrameKey& key) noexcept {
    return std::size_t{key.layout.row_bytes(key.width)} * key.height;
  }
  static std::size_t room_bytes(const FrameKey& key) noexcept { return frame_bytes(key) / 4; }

  const FrameKey& key() const noexcept { return key_; }
  ShmSegment& segment() const noexcept { return *segment_; }
  xcb_damage_damage_t damage() const noexcept { return damage_; }
  xcb_xfixes_region_t parts() const noexcept { return parts_; }
  // Whether the rows hold the whole frame as of the damage last taken.
  bool valid = false;
  // Whether the damage last taken spanned every row.
  bool damaged_everywhere = false;

 private:
  // The damage is gathered from here on: whatever the server drew before is
  // in the first read, which is asked for after this.
  KeptFrame(std::shared_ptr<Connection> c, const FrameKey& key, std::unique_ptr<ShmSegment> segment)
      : c_(std::move(c)),
        key_(key),
        segment_(std::move(segment)),
        damage_(c_->new_id()),
        parts_(c_->new_id()) {
    xcb_xfixes_create_region(c_->get(), parts_, 0, nullptr);
    xcb_damage_create(c_->get(), damage_, key.drawable, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  }

  const std::shared_ptr<Connection> c_;
  const FrameKey key_;
  const std::unique_ptr<ShmSegment> segment_;
  const xcb_damage_damage_t damage_;
  const xcb_xfixes_region_t parts_;
};

}  // namespace

class DeviceCore {
 public:
  explicit DeviceCore(std::shared_ptr<Connection> c) : c_(std::move(c)) {}

  const Connection& connection() const noexcept { return *c_; }

  // A segment of `size` bytes: a kept one when there is one.
  std::unique_ptr<ShmSegment> take_segment(std::size_t size) {
    if (!c_->has_shm()) {
      return nullptr;
    }
    {
      const std::lock_guard lock(mutex_);
      for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
        if ((*it)->size() == size) {
          std::unique_ptr<ShmSegment> found = std::move(*it);
          kept_.erase(std::next(it).base());
          return found;
        }
      }
    }
    return ShmSegment::create(c_, size);
  }

  // The frame kept of `key`, if there is one and no other read holds it;
  // otherwise a new one, or null without shared memory or DAMAGE. A kept
  // frame of another rectangle goes.
  std::unique_ptr<KeptFrame> take_kept(const FrameKey& key) {
    if (!c_->has_shm() || !c_->has_damage()) {
      return nullptr;
    }
    std::unique_ptr<KeptFrame> other;
    {
      const std::lock_guard lock(mutex_);
      if (kept_frame_ && kept_frame_->key() == key) {
        return std::move(kept_frame_);
      }
      other = std::move(kept_frame_);
    }
    other.reset();
    return KeptFrame::make(
        c_, key, ShmSegment::create(c_, KeptFrame::frame_bytes(key) + KeptFrame::room_bytes(key)));
  }

  void give_back_kept(std::unique_ptr<KeptFrame> frame) {
    const std::lock_guard lock(mutex_);
    std::swap(kept_frame_, frame);  // a frame kept meanwhile goes after the lock
  }

  void give_back(std::unique_ptr<ShmSegment> segment) {
    // The oldest one goes, after the lock.
    std::vector<std::unique_ptr<ShmSegment>> evicted;
    const std::lock_guard lock(mutex_);
    kept_.push_back(std::move(segment));
    if (kept_.size() > kKeptSegments) {
      evicted.swap(kept_);
      kept_.assign(std::make_move_iterator(evicted.end() - kKeptSegments),
                   std::make_move_iterator(evicted.end()));
    }
  }

 private:
  const std::shared_ptr<Connection> c_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<ShmSegment>> kept_;  // most recently given back last
  std::unique_ptr<KeptFrame> kept_frame_;
};

namespace {

class Texture final : public posix::Texture2D {
 public:
  Texture(const D3D11_TEXTURE2D_DESC& desc, std::shared_ptr<DeviceCore> core,
          std::optional<CaptureSource> source)
      : Texture2D(desc), core_(std::move(core)), source_(source) {}
  Texture(const Texture&) = delete;
  Texture& operator=(const Texture&) = delete;
  ~Texture() override {
    drop_pending();
    if (segment_) {
      core_->give_back(std::move(segment_));
    }
    if (kept_) {
      core_->give_back_kept(std::move(kept_));
    }
  }

  const std::optional<CaptureSource>& source() const noexcept { return source_; }

  // A copy from a frame's texture into a staging one reads the frame's
  // rectangle; any other copy does nothing.
  void copy_from(const Texture& from) {
    if (from.source() && desc_.Usage == abi::D3D11_USAGE_STAGING) {
      read(*from.source());
    }
  }

  // A copy of a box of a frame's texture that fills a whole staging texture
  // reads only that rectangle of the drawable. Copies into part of a staging
  // texture are not needed by the module and do nothing here.
  void copy_region_from(const Texture& from, UINT x, UINT y, const abi::D3D11_BOX& box) {
    if (!from.source() || desc_.Usage != abi::D3D11_USAGE_STAGING || x != 0 || y != 0 ||
        box.right - box.left != desc_.Width || box.bottom - box.top != desc_.Height) {
      return;
    }
    CaptureSource part = *from.source();
    part.x = static_cast<std::int16_t>(part.x + static_cast<std::int32_t>(box.left));
    part.y = static_cast<std::int16_t>(part.y + static_cast<std::int32_t>(box.top));
    read(part);
  }

  // Asks the server for `from`'s rectangle, as a GPU copy is queued: the
  // pixels are taken when the rows are copied out of the mapped texture. A
  // read of a whole rectangle comes in bands, each converted while the server
  // writes the next. A rectangle of the screen (not a window's pixmap) is
  // kept between reads: then only what the server drew there since the last
  // read is asked for. A read the server cannot serve (it went away or
  // stopped answering, or the rectangle is no longer there) leaves the
  // texture unreadable until the next read, as on a device that was removed.
  void read(const CaptureSource& from) {
    const std::lock_guard lock(mutex_);
    drop_pending();
    pointer_.reset();
    from_ = from;
    const Connection& c = core_->connection();
    readable_ = !c.broken();
    if (!readable_) {
      return;
    }
    const FrameKey key{from.drawable, from.x, from.y, desc_.Width, desc_.Height, from.layout};
    if (kept_ && (from.pixmap || !(kept_->key() == key))) {
      core_->give_back_kept(std::move(kept_));
    }
    if (!from.pixmap && !kept_) {
      kept_ = core_->take_kept(key);
    }
    if (kept_ && kept_->valid) {
      // What the server drew there since the last read. It decides what to
      // ask for, and is taken when the rows are copied out, after the kept
      // rows; but when the screen changed everywhere last time, the whole is
      // asked for at once, and the damage taken with it tells whether it
      // still does.
      xcb_damage_subtract(c.get(), kept_->damage(), XCB_NONE, kept_->parts());
      damage_asked_ = xcb_xfixes_fetch_region(c.get(), kept_->parts()).sequence;
      damage_first_ = !kept_->damaged_everywhere;
    } else if (kept_) {
      // What was drawn before is in this read.
      xcb_damage_subtract(c.get(), kept_->damage(), XCB_NONE, XCB_NONE);
    }
    if (damage_first_) {
      packed_ = false;
      first_row_ = end_row_ = 0;
    } else {
      ask_whole(c);
    }
    if (from.cursor && c.has_xfixes()) {
      pointer_asked_ = {xcb_xfixes_get_cursor_image(c.get()).sequence,
                        xcb_query_pointer(c.get(), from.window).sequence};
    }
    xcb_flush(c.get());
  }

  HRESULT map(std::int32_t map_type, UINT flags, D3D11_MAPPED_SUBRESOURCE* mapped) {
    if (!posix::can_map(desc_, map_type, flags)) {
      return win::E_INVALIDARG_;
    }
    const std::lock_guard lock(mutex_);
    if (mapped_) {
      return win::E_INVALIDARG_;
    }
    if (!readable_) {
      return kDeviceRemoved;
    }
    mapped_ = true;
    mapped->pData = pixels();
    mapped->RowPitch = desc_.Width * 4;
    mapped->DepthPitch = mapped->RowPitch * desc_.Height;
    return win::S_OK_;
  }

  void unmap() {
    const std::lock_guard lock(mutex_);
    mapped_ = false;
  }

  // Copies the first `rows` rows, `width` pixels of each, into `to` as R, G,
  // B, A, waiting for the bands of the last read that have not come yet.
  // When the last read waits on the damage, the kept rows are copied while
  // the server answers, and then the rectangles it names are read and copied
  // again over them.
  HRESULT copy_rows(UINT rows, UINT width, std::uint8_t* to, std::size_t to_pitch) {
    const std::lock_guard lock(mutex_);
    if (!mapped_ || rows > desc_.Height || width > desc_.Width) {
      return win::E_INVALIDARG_;
    }
    if (!readable_) {
      return kDeviceRemoved;
    }
    const Connection& c = core_->connection();
    const std::uint8_t* pixels = this->pixels();
    const std::size_t server_row_bytes = from_.layout.row_bytes(desc_.Width);
    const std::size_t pixel_bytes = from_.layout.bits_per_pixel / 8U;
    const bool streaming = std::size_t{rows} * width * 4 >= frame::kStreamingBytes;
    prepare_destination(to, std::size_t{rows} * to_pitch);
    // Copies columns [x, x + columns) of rows [first, end), as far as asked.
    const auto convert = [&](std::uint32_t x, std::uint32_t columns, std::uint32_t first,
                             std::uint32_t end, bool whole_frame) {
      end = std::min(end, rows);
      columns = x < width ? std::min(columns, width - x) : 0;
      if (first < end && columns > 0) {
        server_pixels_to_rgba(pixels + first * server_row_bytes + x * pixel_bytes, server_row_bytes,
                              end - first, columns, from_.layout, c.lsb_first(),
                              to + first * to_pitch + std::size_t{x} * 4, to_pitch,
                              streaming && whole_frame);
      }
    };
    const auto fail = [&] {
      readable_ = false;
      if (kept_) {
        kept_->valid = false;
      }
      drop_pending();
      return kDeviceRemoved;
    };
    if (damage_first_ || packed_) {
      // A band at a time, acting on the damage as soon as it comes, so that
      // the server reads what changed while the rest is copied.
      const std::uint32_t band_rows = this->band_rows();
      for (std::uint32_t top = 0; top < desc_.Height; top += band_rows) {
        convert(0, width, top, top + band_rows, true);
        if (damage_first_) {
          auto fetched = reply_if_in(c, xcb_xfixes_fetch_region_cookie_t{*damage_asked_},
                                     xcb_xfixes_fetch_region_reply);
          if (fetched && !use_damage(c, std::move(*fetched))) {
            return fail();
          }
        }
      }
    } else {
      // The rows no band brings are there already.
      convert(0, width, 0, first_row_, true);
      convert(0, width, end_row_, desc_.Height, true);
    }
    if (damage_first_ && !use_damage(c, reply(c, xcb_xfixes_fetch_region_cookie_t{*damage_asked_},
                                              xcb_xfixes_fetch_region_reply))) {
      return fail();
    }
    for (std::size_t i = 0; i < bands_.size(); ++i) {
      const Band& band = bands_[i];
      if (i >= taken_) {
        taken_ = i + 1;
        if (!take(c, band, server_row_bytes)) {
          return fail();
        }
      }
      if (packed_) {
        convert(band.x, band.width, band.top, band.top + band.rows, false);
      } else {
        convert(0, width, band.top, band.top + band.rows, true);
      }
    }
    if (kept_) {
      kept_->valid = true;
      if (damage_asked_) {
        const xcb_xfixes_fetch_region_cookie_t asked{*std::exchange(damage_asked_, std::nullopt)};
        auto fetched = reply(c, asked, xcb_xfixes_fetch_region_reply);
        drop_damage_reports(c);
        kept_->damaged_everywhere =
            !fetched || spans_all(plan_of(kept_->key(), *fetched), kept_->key());
      }
    }
    if (pointer_asked_) {
      take_pointer(c);
    }
    if (pointer_) {
      compose_pointer(to, static_cast<std::uint32_t>(to_pitch), width, rows, pointer_->argb.data(),
                      pointer_->width, pointer_->height, pointer_->left, pointer_->top);
    }
    return win::S_OK_;
  }

 private:
  // Where a band's rows land: in place, or packed at this offset of the
  // segment.
  static constexpr std::size_t kInPlace = ~std::size_t{0};
  // Damaged rectangles asked for one by one, at most.
  static constexpr std::size_t kMostParts = 64;

  // A rectangle of a read, asked for in one request: columns [x, x + width)
  // of rows [top, top + rows).
  struct Band {
    unsigned int sequence;
    std::uint32_t x;
    std::uint32_t top;
    std::uint32_t width;
    std::uint32_t rows;
    std::size_t packed;
  };

  // The pointer's image, premultiplied A, R, G, B words, and where its
  // top-left corner falls in the texture.
  struct Pointer {
    std::vector<std::uint32_t> argb;
    std::uint32_t width;
    std::uint32_t height;
    std::int64_t left;
    std::int64_t top;
  };

  // Asks for the whole rectangle, in bands that land where their rows go.
  // Without shared memory the image comes through the connection itself, in
  // one piece.
  void ask_whole(const Connection& c) {
    packed_ = false;
    first_row_ = 0;
    end_row_ = desc_.Height;
    const bool shared = kept_ || storage_segment() != nullptr;
    ask_rows(c, 0, desc_.Height, shared ? band_rows() : desc_.Height);
  }

  // Rows of a whole-row read that one band brings.
  std::uint32_t band_rows() const {
    return std::max<std::uint32_t>(1, kBandBytes / from_.layout.row_bytes(desc_.Width));
  }

  // Asks for rows [first, end), `per_band` rows a request, each landing
  // where its rows go.
  void ask_rows(const Connection& c, std::uint32_t first, std::uint32_t end,
                std::uint32_t per_band) {
    for (std::uint32_t top = first; top < end; top += per_band) {
      ask(c, Band{0, 0, top, desc_.Width, std::min(per_band, end - top), kInPlace});
    }
  }

  // What a read of the damage `fetched` asks for: each damaged rectangle,
  // packed into the room after the frame, or, when they are too many or too
  // large, the rows [first_row, end_row) they span.
  struct Plan {
    std::vector<Band> parts;
    bool packed = true;
    std::uint32_t first_row = 0;
    std::uint32_t end_row = 0;
  };

  static Plan plan_of(const FrameKey& key, const xcb_xfixes_fetch_region_reply_t& fetched) {
    const std::int64_t right = std::int64_t{key.x} + key.width;
    const std::int64_t bottom = std::int64_t{key.y} + key.height;
    Plan plan;
    std::size_t packed = 0;
    std::uint32_t first_row = key.height;
    std::uint32_t end_row = 0;
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(&fetched);
    for (int i = 0; i < xcb_xfixes_fetch_region_rectangles_length(&fetched); ++i) {
      const std::int64_t left = std::max<std::int64_t>(rects[i].x, key.x);
      const std::int64_t top = std::max<std::int64_t>(rects[i].y, key.y);
      const std::int64_t end_x = std::min<std::int64_t>(rects[i].x + rects[i].width, right);
      const std::int64_t end_y = std::min<std::int64_t>(rects[i].y + rects[i].height, bottom);
      if (left >= end_x || top >= end_y) {
        continue;
      }
      const Band part{0,
                      static_cast<std::uint32_t>(left - key.x),
                      static_cast<std::uint32_t>(top - key.y),
                      static_cast<std::uint32_t>(end_x - left),
                      static_cast<std::uint32_t>(end_y - top),
                      KeptFrame::frame_bytes(key) + packed};
      plan.parts.push_back(part);
      packed += std::size_t{key.layout.row_bytes(part.width)} * part.rows;
      first_row = std::min(first_row, part.top);
      end_row = std::max(end_row, part.top + part.rows);
    }
    if (plan.parts.size() > kMostParts || packed > KeptFrame::room_bytes(key)) {
      plan.packed = false;
      plan.first_row = first_row;
      plan.end_row = end_row;
    }
    return plan;
  }

  // Whether the damage of `plan` spans every row: then the next read asks for
  // the whole rectangle at once, and takes the damage only along with it.
  static bool spans_all(const Plan& plan, const FrameKey& key) noexcept {
    return !plan.packed && plan.first_row == 0 && plan.end_row == key.height;
  }

  // Acts on the damage asked for by the last read, `fetched` (null if the
  // server failed it): what the server drew in the kept rectangle since the
  // read before (a drawing the server finished before the read is in it; one
  // it does after is gathered for the next read). Asks for that.
  bool use_damage(const Connection& c, Reply<xcb_xfixes_fetch_region_reply_t> fetched) {
    damage_first_ = false;
    damage_asked_.reset();
    drop_damage_reports(c);
    if (!fetched) {
      return false;
    }
    const FrameKey& key = kept_->key();
    Plan plan = plan_of(key, *fetched);
    kept_->damaged_everywhere = spans_all(plan, key);
    packed_ = plan.packed;
    first_row_ = plan.first_row;
    end_row_ = plan.end_row;
    if (plan.packed) {
      for (const Band& part : plan.parts) {
        ask(c, part);
      }
    } else {
      ask_rows(c, first_row_, end_row_, band_rows());
    }
    xcb_flush(c.get());
    return true;
  }

  // The kept frame's damage reports (one per read at most) tell nothing the
  // damage taken does not.
  static void drop_damage_reports(const Connection& c) {
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c.get())}) {
    }
  }

  // Sends the request for `band`.
  void ask(const Connection& c, Band band) {
    const std::uint32_t server_row_bytes = from_.layout.row_bytes(desc_.Width);
    const auto x = static_cast<std::int16_t>(from_.x + static_cast<std::int32_t>(band.x));
    const auto y = static_cast<std::int16_t>(from_.y + static_cast<std::int32_t>(band.top));
    const auto width = static_cast<std::uint16_t>(band.width);
    const auto rows = static_cast<std::uint16_t>(band.rows);
    ShmSegment* segment = kept_ ? &kept_->segment() : storage_segment();
    const std::size_t offset =
        band.packed == kInPlace ? std::size_t{band.top} * server_row_bytes : band.packed;
    band.sequence = segment != nullptr
                        ? xcb_shm_get_image(c.get(), from_.drawable, x, y, width, rows, ~0U,
                                            XCB_IMAGE_FORMAT_Z_PIXMAP, segment->id(),
                                            static_cast<std::uint32_t>(offset))
                              .sequence
                        : xcb_get_image(c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, from_.drawable, x, y,
                                        width, rows, ~0U)
                              .sequence;
    bands_.push_back(band);
  }

  // Takes the answer to `band`: with shared memory the server has written the
  // rows into the segment (packed ones are then put in place); otherwise they
  // come with the answer and are put where the segment would hold them.
  bool take(const Connection& c, const Band& band, std::size_t server_row_bytes) {
    std::uint8_t* pixels = this->pixels();
    const std::size_t band_row_bytes = from_.layout.row_bytes(band.width);
    const std::size_t bytes = std::size_t{band.rows} * band_row_bytes;
    if (kept_ || segment_) {
      auto image = reply(c, xcb_shm_get_image_cookie_t{band.sequence}, xcb_shm_get_image_reply);
      if (!image || image->size != bytes) {
        return false;
      }
      if (band.packed != kInPlace) {
        const std::size_t pixel_bytes = from_.layout.bits_per_pixel / 8U;
        for (std::size_t y = 0; y < band.rows; ++y) {
          std::memcpy(pixels + (band.top + y) * server_row_bytes + band.x * pixel_bytes,
                      pixels + band.packed + y * band_row_bytes, band.width * pixel_bytes);
        }
      }
      return true;
    }
    auto image = reply(c, xcb_get_image_cookie_t{band.sequence}, xcb_get_image_reply);
    if (!image || static_cast<std::size_t>(xcb_get_image_data_length(image.get())) != bytes) {
      return false;
    }
    std::memcpy(pixels + band.top * server_row_bytes, xcb_get_image_data(image.get()), bytes);
    return true;
  }

  // The pointer as XFIXES shows it, where it was at the read. A pointer on
  // another screen draws nothing.
  void take_pointer(const Connection& c) {
    const auto [image_sequence, position_sequence] = *std::exchange(pointer_asked_, std::nullopt);
    auto image = reply(c, xcb_xfixes_get_cursor_image_cookie_t{image_sequence},
                       xcb_xfixes_get_cursor_image_reply);
    auto pointer = reply(c, xcb_query_pointer_cookie_t{position_sequence}, xcb_query_pointer_reply);
    if (!image || !pointer || pointer->same_screen == 0 ||
        xcb_xfixes_get_cursor_image_cursor_image_length(image.get()) <
            static_cast<int>(image->width) * image->height) {
      return;
    }
    const std::uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(image.get());
    pointer_ =
        Pointer{std::vector<std::uint32_t>(argb, argb + std::size_t{image->width} * image->height),
                image->width, image->height,
                std::int64_t{pointer->win_x} + from_.window_x - image->xhot - from_.x,
                std::int64_t{pointer->win_y} + from_.window_y - image->yhot - from_.y};
  }

  // A large destination is usually new memory that NumPy just mapped, whose
  // pages fault in one by one as the rows are written. Asked for huge pages,
  // the system faults them in 2 MiB at a time. Only whole huge pages inside
  // the destination are advised, and only as a hint: nothing else changes.
  static void prepare_destination(std::uint8_t* to, std::size_t bytes) noexcept {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    const auto start = reinterpret_cast<std::uintptr_t>(to);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
    if (end > first) {
      madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
  }

  // Lets go of the answers of a read that were not taken, so that none stays
  // queued on the connection.
  void drop_pending() noexcept {
    const Connection& c = core_->connection();
    if (kept_ && (taken_ < bands_.size() || damage_first_)) {
      kept_->valid = false;  // some of its rows may not have come
    }
    if (!c.broken()) {
      for (std::size_t i = taken_; i < bands_.size(); ++i) {
        xcb_discard_reply(c.get(), bands_[i].sequence);
      }
      if (pointer_asked_) {
        xcb_discard_reply(c.get(), pointer_asked_->first);
        xcb_discard_reply(c.get(), pointer_asked_->second);
      }
      if (damage_asked_) {
        xcb_discard_reply(c.get(), *damage_asked_);
      }
    }
    damage_asked_.reset();
    damage_first_ = false;
    bands_.clear();
    taken_ = 0;
    pointer_asked_.reset();
  }

  // Where the texture's pixels are: the kept frame's rows, or its own memory.
  std::uint8_t* pixels() { return kept_ ? kept_->segment().data() : storage(); }

  // The texture's own shared-memory segment, or null without one.
  ShmSegment* storage_segment() {
    storage();
    return segment_.get();
  }

  // The texture's own memory, made on first use: big enough for R, G, B, A,
  // and so for any layout the server sends. Call with the mutex held.
  std::uint8_t* storage() {
    const std::size_t bytes = std::size_t{desc_.Width} * desc_.Height * 4;
    if (!segment_ && !heap_) {
      segment_ = core_->take_segment(bytes);
      if (!segment_) {
        heap_ = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
      }
    }
    return segment_ ? segment_->data() : heap_.get();
  }

  const std::shared_ptr<DeviceCore> core_;
  const std::optional<CaptureSource> source_;
  std::mutex mutex_;
  std::unique_ptr<ShmSegment> segment_;
  std::unique_ptr<std::uint8_t[]> heap_;  // where the server offers no shared memory
  bool mapped_ = false;
  bool readable_ = true;  // false after a read that failed
  // The last read: what it read, what it asked for, how many bands of it have
  // been taken, and the pointer it shows.
  CaptureSource from_;
  std::unique_ptr<KeptFrame> kept_;  // the kept frame this texture reads into, if any
  std::vector<Band> bands_;
  std::size_t taken_ = 0;
  // How the last read's rows come: packed rectangles, put in place as they
  // come; or whole rows [first_row_, end_row_) in bands, in order, the rest
  // being there already.
  bool packed_ = false;
  std::uint32_t first_row_ = 0;
  std::uint32_t end_row_ = 0;
  std::optional<std::pair<unsigned int, unsigned int>> pointer_asked_;
  // The kept frame's damage: taken with a whole read, or first, to decide
  // what to read.
  std::optional<unsigned int> damage_asked_;
  bool damage_first_ = false;
  std::optional<Pointer> pointer_;
};

class Device final : public posix::D3DDevice {
 public:
  explicit Device(std::shared_ptr<DeviceCore> core) : core_(std::move(core)) {}

  const std::shared_ptr<DeviceCore>& core() const noexcept { return core_; }

 private:
  // Pixel requests carry 16-bit sizes.
  bool supports(const D3D11_TEXTURE2D_DESC& desc) const override {
    return desc.Width <= 0x7FFF && desc.Height <= 0x7FFF && posix::is_supported(desc);
  }

  ComPtr<abi::ID3D11Texture2D> new_texture(const D3D11_TEXTURE2D_DESC& desc) override {
    return posix::upcast<abi::ID3D11Texture2D>(make_object<Texture>(desc, core_, std::nullopt));
  }

  const std::shared_ptr<DeviceCore> core_;
};

using Direct3DDevice = posix::Direct3DDevice<Device>;
using DeviceContext = posix::DeviceContext<Texture>;

}  // namespace

void compose_pointer(std::uint8_t* pixels, std::uint32_t row_bytes, std::uint32_t columns,
                     std::uint32_t rows, const std::uint32_t* argb, std::uint32_t width,
                     std::uint32_t height, std::int64_t left, std::int64_t top) noexcept {
  const std::int64_t first_x = std::max<std::int64_t>(0, -left);
  const std::int64_t first_y = std::max<std::int64_t>(0, -top);
  const std::int64_t end_x = std::min<std::int64_t>(width, std::int64_t{columns} - left);
  const std::int64_t end_y = std::min<std::int64_t>(height, std::int64_t{rows} - top);
  for (std::int64_t y = first_y; y < end_y; ++y) {
    std::uint8_t* row = pixels + static_cast<std::size_t>(top + y) * row_bytes;
    for (std::int64_t x = first_x; x < end_x; ++x) {
      const std::uint32_t word = argb[static_cast<std::size_t>(y * width + x)];
      const std::uint32_t alpha = word >> 24;
      if (alpha == 0) {
        continue;
      }
      std::uint8_t* pixel = row + static_cast<std::size_t>(left + x) * 4;
      // Premultiplied: the image's colour plus what shows through.
      const std::uint32_t keep = 255 - alpha;
      const std::uint32_t colour[3] = {(word >> 16) & 0xFF, (word >> 8) & 0xFF, word & 0xFF};
      for (int channel = 0; channel < 3; ++channel) {
        const std::uint32_t value = colour[channel] + (pixel[channel] * keep + 127) / 255;
        pixel[channel] = static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
      }
    }
  }
}

std::shared_ptr<DeviceCore> device_core(abi::IDirect3DDevice* device) noexcept {
  auto* ours = dynamic_cast<Direct3DDevice*>(device);
  return ours == nullptr ? nullptr : ours->device().core();
}

ComPtr<abi::ID3D11Texture2D> make_source_texture(std::shared_ptr<DeviceCore> core,
                                                 CaptureSource source, std::int32_t width,
                                                 std::int32_t height, std::int32_t pixel_format) {
  return ComPtr<abi::ID3D11Texture2D>::attach(
      make_object<Texture>(posix::frame_texture_desc(width, height, pixel_format), std::move(core),
                           source)
          .detach());
}

}  // namespace lumigrab::x11

namespace lumigrab::platform::with_x11 {

HRESULT D3D11CreateDevice(void* adapter, std::int32_t driver_type, HMODULE /*software*/,
                          UINT /*flags*/, const abi::D3D_FEATURE_LEVEL* feature_levels,
                          UINT feature_level_count, UINT sdk_version, abi::ID3D11Device** device,
                          abi::D3D_FEATURE_LEVEL* obtained_level,
                          abi::ID3D11DeviceContext** immediate_context) {
  abi::D3D_FEATURE_LEVEL obtained{};
  const HRESULT checked =
      posix::begin_create_device(adapter, driver_type, feature_levels, feature_level_count,
                                 sdk_version, device, immediate_context, &obtained);
  if (checked != win::S_OK_) {
    return checked;
  }
  std::shared_ptr<x11::Connection> connection = x11::Connection::open();
  if (!connection) {
    return x11::kDxgiUnsupported;
  }
  if (obtained_level != nullptr) {
    *obtained_level = obtained;
  }
  auto core = std::make_shared<x11::DeviceCore>(std::move(connection));
  auto made = posix::make_object<x11::Device>(core);
  if (immediate_context != nullptr) {
    posix::hand_out(posix::make_object<x11::DeviceContext>(made->shared()), immediate_context);
  }
  if (device != nullptr) {
    posix::hand_out(std::move(made), device);
  }
  return device == nullptr && immediate_context == nullptr ? win::S_FALSE_ : win::S_OK_;
}

HRESULT CreateDirect3D11DeviceFromDXGIDevice(abi::IDXGIDevice* dxgi_device,
                                             abi::IInspectable** graphics_device) {
  return posix::wrap_device<x11::Device>(dxgi_device, graphics_device);
}

HRESULT CopyMappedRows(abi::ID3D11Texture2D* staging,
                       const abi::D3D11_MAPPED_SUBRESOURCE& /*mapped*/, UINT rows, UINT width,
                       std::uint8_t* destination, std::size_t destination_pitch) {
  auto* texture = dynamic_cast<x11::Texture*>(staging);
  if (texture == nullptr) {
    return win::E_INVALIDARG_;
  }
  return texture->copy_rows(rows, width, destination, destination_pitch);
}

}  // namespace lumigrab::platform::with_x11
