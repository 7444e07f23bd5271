// The capture thread's Direct3D 11 device, and the read-back of a texture of
// known pixels through a staging texture, on the system's Direct3D.
#include <cstdint>
#include <string>
#include <vector>

#include "capture/records.h"
#include "direct_x/device.h"
#include "frame/frame.h"
#include "harness.h"
#include "lib/windows_error.h"
#include "wine_support.h"

// The SDK's, for the texture's initial data; after the module's headers, since
// it makes D3D11_SDK_VERSION a macro.
#include <d3d11.h>
#undef D3D11_SDK_VERSION

namespace lumigrab::test {
namespace {

// R, G and B tell the pixel's column and row apart, in every byte; A varies too,
// so that a swapped or dropped channel shows.
std::uint8_t channel(std::uint32_t x, std::uint32_t y, std::uint32_t c) {
  switch (c) {
    case 0: return static_cast<std::uint8_t>(x * 7 + 1);
    case 1: return static_cast<std::uint8_t>(y * 11 + 2);
    case 2: return static_cast<std::uint8_t>((x + y) * 3 + 3);
    default: return static_cast<std::uint8_t>(255 - x);
  }
}

// A texture as the frame pool makes them: R8G8B8A8, on the GPU only.
ComPtr<abi::ID3D11Texture2D> known_texture(abi::ID3D11Device* device, std::uint32_t width,
                                           std::uint32_t height) {
  std::vector<std::uint8_t> pixels(std::size_t{width} * height * 4);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      for (std::uint32_t c = 0; c < 4; ++c) {
        pixels[(std::size_t{y} * width + x) * 4 + c] = channel(x, y, c);
      }
    }
  }
  abi::D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = abi::DXGI_FORMAT_R8G8B8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
  D3D11_SUBRESOURCE_DATA initial{};
  initial.pSysMem = pixels.data();
  initial.SysMemPitch = width * 4;
  ComPtr<abi::ID3D11Texture2D> texture;
  const HRESULT hr = device->CreateTexture2D(&desc, &initial, texture.put());
  CHECK(SUCCEEDED(hr) && texture);
  return texture;
}

// Every pixel of every row, at the row pitch the read-back reports through
// its size; the padding after each row is not looked at. Read twice: the
// second read-back reuses the first one's staging texture.
void check_read_back(std::uint32_t width, std::uint32_t height) {
  auto device = direct_x::create_d3d_device();
  CHECK(device.ok());
  if (!device) {
    return;
  }
  capture::LatestFrame frame;
  frame.texture = known_texture(device.value().device.get(), width, height);
  frame.device = device.value().device;
  frame.context = device.value().context;
  frame.width = width;
  frame.height = height;
  frame.staging = std::make_shared<capture::StagingTexture>();
  if (!frame.texture) {
    return;
  }
  CHECK(frame::materialize_frame(frame).ok());
  const ComPtr<abi::ID3D11Texture2D> kept = frame.staging->texture;
  CHECK(kept);
  auto bytes = frame::materialize_frame(frame);
  CHECK(frame.staging->texture.get() == kept.get());
  CHECK(bytes.ok());
  if (!bytes) {
    return;
  }
  const frame::FrameBytes& read = bytes.value();
  CHECK_EQ(read.size % height, std::size_t{0});
  const std::size_t pitch = read.size / height;
  CHECK(pitch >= std::size_t{width} * 4);
  std::cout << "     " << width << "x" << height << ": row pitch " << pitch << "\n";
  std::size_t wrong = 0;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      for (std::uint32_t c = 0; c < 4; ++c) {
        if (read.data[y * pitch + x * 4 + c] != channel(x, y, c)) {
          ++wrong;
        }
      }
    }
  }
  CHECK_EQ(wrong, std::size_t{0});
}

}  // namespace

TEST(the_device_is_made_at_feature_level_11_1) {
  auto device = direct_x::create_d3d_device();
  CHECK(device.ok());
  if (!device) {
    std::cerr << "     " << direct_x::debug_form(device.error()) << "\n";
    return;
  }
  CHECK(device.value().device && device.value().context);
  // The immediate context comes with its lock on.
  ComPtr<abi::ID3D11Multithread> multithread;
  CHECK(SUCCEEDED(
      device.value().context->QueryInterface(abi::IID_ID3D11Multithread, multithread.put_void())));
  CHECK(multithread && multithread->GetMultithreadProtected() != 0);
}

TEST(a_texture_is_read_back_row_by_row_in_r_g_b_a_order) {
  check_read_back(7, 5);
  // Wide enough that a GPU would pad its rows; Wine never does, so the padded
  // rows are left to the simulated desktop's tests.
  check_read_back(1001, 3);
}

TEST(the_runtime_device_wrapper_is_missing_and_reported_as_a_windows_error) {
  if (!running_under_wine()) {
    return;
  }
  auto device = direct_x::create_d3d_device();
  CHECK(device.ok());
  if (!device) {
    return;
  }
  // d3d11.dll is there, its CreateDirect3D11DeviceFromDXGIDevice is not: the
  // export is looked up when needed, so the program loaded all the same.
  auto wrapped = direct_x::create_direct3d_device(device.value().device.get());
  CHECK(!wrapped.ok());
  if (wrapped) {
    return;
  }
  const auto& error = wrapped.error();
  CHECK(error.kind() == direct_x::DeviceCreationError::Kind::WindowsError);
  CHECK(error.windows_error().has_value() &&
        static_cast<std::uint32_t>(error.windows_error()->code()) == 0x8007007FU);
  std::cout << "     " << direct_x::debug_form(error) << "\n";
}

}  // namespace lumigrab::test
