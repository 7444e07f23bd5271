#include "frame/frame.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "platform/platform.h"

namespace lumigrab::frame {
namespace {

abi::D3D11_TEXTURE2D_DESC staging_desc(std::uint32_t width, std::uint32_t height) {
  abi::D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = abi::DXGI_FORMAT_R8G8B8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.SampleDesc.Quality = 0;
  desc.Usage = abi::D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = abi::D3D11_CPU_ACCESS_READ | abi::D3D11_CPU_ACCESS_WRITE;
  desc.MiscFlags = 0;
  return desc;
}

// A staging texture of `desc`'s size for `frame`: the kept one, lent, when it
// fits and is free; otherwise a new one, which is kept in place of the old
// when the keeper is free. `loan` holds the keeper when it lent.
Result<ComPtr<abi::ID3D11Texture2D>, FrameError> staging_for(const capture::LatestFrame& frame,
                                                             const abi::D3D11_TEXTURE2D_DESC& desc,
                                                             StagingLoan& loan) {
  const std::shared_ptr<capture::StagingTexture>& keeper = frame.staging;
  ComPtr<abi::ID3D11Texture2D> kept;
  bool lent = false;
  if (keeper) {
    const std::lock_guard lock(keeper->mutex);
    if (!keeper->lent) {
      keeper->lent = lent = true;
      if (keeper->texture && keeper->device.get() == frame.device.get() &&
          keeper->width == desc.Width && keeper->height == desc.Height) {
        kept = keeper->texture;
      }
    }
  }
  if (lent) {
    loan = StagingLoan(keeper);
  }
  if (kept) {
    return kept;
  }
  ComPtr<abi::ID3D11Texture2D> staging;
  const win::HRESULT created = frame.device->CreateTexture2D(&desc, nullptr, staging.put());
  if (win::failed(created)) {
    capture::report_if_device_lost(frame, created);
    return Err(FrameError::windows_error(WindowsError::from_hresult(created)));
  }
  if (!staging) {
    fault("ID3D11Device::CreateTexture2D reported success without a staging texture");
  }
  if (capture::StagingTexture* const lender = loan.keeper()) {
    const std::lock_guard lock(lender->mutex);
    lender->texture = staging;
    lender->device = frame.device;
    lender->width = desc.Width;
    lender->height = desc.Height;
  }
  return staging;
}

}  // namespace

std::string text_form(const FrameError& error) {
  switch (error.kind()) {
    case FrameError::Kind::WindowsError: return "Windows error during frame conversion";
    case FrameError::Kind::VectorConversionError: return "Conversion to vector failed.";
  }
  return {};
}

std::string debug_form(const FrameError& error) {
  switch (error.kind()) {
    case FrameError::Kind::WindowsError:
      return "WindowsError(" + debug_form(*error.windows_error()) + ")";
    case FrameError::Kind::VectorConversionError: return "VectorConversionError";
  }
  return {};
}

StagingLoan& StagingLoan::operator=(StagingLoan&& other) noexcept {
  if (this != &other) {
    end();
    keeper_ = std::move(other.keeper_);
  }
  return *this;
}

void StagingLoan::end() noexcept {
  if (const std::shared_ptr<capture::StagingTexture> keeper = std::move(keeper_)) {
    const std::lock_guard lock(keeper->mutex);
    keeper->lent = false;
  }
}

MappedFrame::MappedFrame(ComPtr<abi::ID3D11DeviceContext> context,
                         ComPtr<abi::ID3D11Texture2D> staging,
                         const abi::D3D11_MAPPED_SUBRESOURCE& mapped, std::uint32_t height,
                         StagingLoan loan) noexcept
    : context_(std::move(context)),
      staging_(std::move(staging)),
      mapped_(mapped),
      loan_(std::move(loan)),
      data_(static_cast<const std::uint8_t*>(mapped.pData)),
      // Sized in 64 bits: a 32-bit product would wrap for very large frames
      // and silently drop rows.
      size_(std::size_t{height} * std::size_t{mapped.RowPitch}) {}

MappedFrame::MappedFrame(MappedFrame&& other) noexcept
    : context_(std::move(other.context_)),
      staging_(std::move(other.staging_)),
      mapped_(other.mapped_),
      loan_(std::move(other.loan_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedFrame::~MappedFrame() {
  // Unmapped before the staging texture is released.
  // The loan, a member, ends after this: only once the texture is unmapped.
  if (staging_) {
    context_->Unmap(staging_.get(), 0);
  }
}

Status<FrameError> MappedFrame::copy_rows(std::uint8_t* destination, std::size_t destination_pitch,
                                          std::uint32_t rows, std::uint32_t width) const {
  const win::HRESULT result = platform::CopyMappedRows(staging_.get(), mapped_, rows, width,
                                                       destination, destination_pitch);
  if (win::failed(result)) {
    return Err(FrameError::windows_error(WindowsError::from_hresult(result)));
  }
  return Ok{};
}

Result<MappedFrame, FrameError> map_frame(const capture::LatestFrame& frame,
                                          const std::optional<FrameRect>& rect) {
  const abi::D3D11_TEXTURE2D_DESC desc =
      rect ? staging_desc(rect->width, rect->height) : staging_desc(frame.width, frame.height);
  StagingLoan loan;
  auto made = staging_for(frame, desc, loan);
  if (!made) {
    return Err(std::move(made).error());
  }
  const ComPtr<abi::ID3D11Texture2D> staging = std::move(made).value();
  if (rect) {
    const abi::D3D11_BOX box{
        rect->left, rect->top, 0, rect->left + rect->width, rect->top + rect->height, 1};
    frame.context->CopySubresourceRegion(staging.get(), 0, 0, 0, 0, frame.texture.get(), 0, &box);
  } else {
    frame.context->CopyResource(staging.get(), frame.texture.get());
  }
  abi::D3D11_MAPPED_SUBRESOURCE mapped{};
  const win::HRESULT result =
      frame.context->Map(staging.get(), 0, abi::D3D11_MAP_READ_WRITE, 0, &mapped);
  if (win::failed(result)) {
    capture::report_if_device_lost(frame, result);
    return Err(FrameError::windows_error(WindowsError::from_hresult(result)));
  }
  return MappedFrame(frame.context, staging, mapped, desc.Height, std::move(loan));
}

Result<FrameBytes, FrameError> materialize_frame(const capture::LatestFrame& frame) {
  auto mapped = map_frame(frame);
  if (!mapped) {
    return Err(std::move(mapped).error());
  }
  FrameBytes bytes;
  bytes.size = mapped.value().size();
  bytes.data = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size);
  if (bytes.size != 0) {
    // Whole rows, padding and all.
    const std::size_t pitch = bytes.size / frame.height;
    auto copied = mapped.value().copy_rows(bytes.data.get(), pitch, frame.height,
                                           static_cast<std::uint32_t>(pitch / 4));
    if (!copied) {
      return Err(std::move(copied).error());
    }
  }
  return bytes;
}

}  // namespace lumigrab::frame
