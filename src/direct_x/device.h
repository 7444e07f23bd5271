// The capture thread's Direct3D 11 device and its Windows Runtime wrapper.
#pragma once

#include <optional>
#include <string>

#include "lib/result.h"
#include "lib/windows_error.h"
#include "platform/com_ptr.h"

namespace lumigrab::direct_x {

// Users never see this error's own text: the capture reports it as its
// DirectXError, so it has only a debug form.
class DeviceCreationError {
 public:
  enum class Kind { FeatureLevelError, WindowsError };

  static DeviceCreationError feature_level() {
    return DeviceCreationError(Kind::FeatureLevelError);
  }
  static DeviceCreationError windows_error(WindowsError error) {
    DeviceCreationError result(Kind::WindowsError);
    result.windows_error_.emplace(std::move(error));
    return result;
  }

  Kind kind() const noexcept { return kind_; }
  const std::optional<WindowsError>& windows_error() const noexcept { return windows_error_; }

 private:
  explicit DeviceCreationError(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::optional<WindowsError> windows_error_;
};

// FeatureLevelError, or WindowsError(Error { .. }).
std::string debug_form(const DeviceCreationError& error);

struct D3DDevice {
  ComPtr<abi::ID3D11Device> device;
  ComPtr<abi::ID3D11DeviceContext> context;
};

// A hardware device on the default adapter with BGRA support, its immediate
// context protected for use from several threads. Only feature level 11_1 is
// accepted, although lower levels are offered.
Result<D3DDevice, DeviceCreationError> create_d3d_device();

// The Windows Runtime device that wraps `device`, as the frame pool wants it.
Result<ComPtr<abi::IDirect3DDevice>, DeviceCreationError> create_direct3d_device(
    abi::ID3D11Device* device);

}  // namespace lumigrab::direct_x
