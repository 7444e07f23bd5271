#include "capture/capture_target.h"

#include "capture/activation.h"

namespace lumigrab::capture {

std::string text_form(TargetConversionError error) {
  return debug_form(error);
}

std::string debug_form(TargetConversionError error) {
  switch (error) {
    case TargetConversionError::MonitorConversionError: return "MonitorConversionError";
    case TargetConversionError::WindowConversionError: return "WindowConversionError";
  }
  return {};
}

Result<ComPtr<abi::IGraphicsCaptureItem>, TargetConversionError> create_capture_item(
    const CaptureTarget& target) {
  const bool is_monitor = target.kind() == CaptureTarget::Kind::Monitor;
  const TargetConversionError conversion_error = is_monitor
                                                     ? TargetConversionError::MonitorConversionError
                                                     : TargetConversionError::WindowConversionError;
  auto interop = activation::activation_factory<abi::IGraphicsCaptureItemInterop>(
      abi::kGraphicsCaptureItemClass, abi::IID_IGraphicsCaptureItemInterop);
  if (!interop) {
    return Err(conversion_error);
  }
  ComPtr<abi::IGraphicsCaptureItem> item;
  const win::HRESULT hr =
      is_monitor ? interop.value()->CreateForMonitor(target.monitor_handle(),
                                                     abi::IID_IGraphicsCaptureItem, item.put_void())
                 : interop.value()->CreateForWindow(target.window_handle(),
                                                    abi::IID_IGraphicsCaptureItem, item.put_void());
  if (win::failed(hr)) {
    // The conversion error does not carry it, but the failure's error
    // information is still taken off the thread, where a later unrelated
    // failure would otherwise pick it up as its own.
    static_cast<void>(WindowsError::from_hresult(hr));
    return Err(conversion_error);
  }
  if (!item) {
    return Err(conversion_error);
  }
  return item;
}

}  // namespace lumigrab::capture
