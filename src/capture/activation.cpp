#include "capture/activation.h"

#include <mutex>
#include <string>
#include <vector>

#include "lib/loaded_library.h"
#include "lib/utf16.h"
#include "platform/platform.h"

namespace lumigrab::activation {
namespace {

// A runtime string made from the class name, deleted with the holder.
class HString {
 public:
  explicit HString(std::u16string_view text) {
    const WideString units(text.begin(), text.end());
    created_ =
        platform::WindowsCreateString(units.c_str(), static_cast<win::UINT>(units.size()), &value_);
  }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  ~HString() {
    if (value_ != nullptr) {
      platform::WindowsDeleteString(value_);
    }
  }

  win::HRESULT created() const { return created_; }
  abi::HSTRING get() const { return value_; }

 private:
  abi::HSTRING value_ = nullptr;
  win::HRESULT created_ = 0;
};

// "Windows.Graphics.Capture.X" gives "Windows.Graphics.Capture.dll",
// "Windows.Graphics.dll" and "Windows.dll", longest first.
std::vector<std::string> component_libraries(std::u16string_view class_name) {
  const WideString units(class_name.begin(), class_name.end());
  std::string name = decode_utf16_lossy(units.data(), units.size());
  std::vector<std::string> libraries;
  for (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0; dot = name.rfind('.')) {
    name.resize(dot);
    libraries.push_back(name + ".dll");
  }
  return libraries;
}

// Some(status) ends the lookup with that status; nullopt tries the next library.
std::optional<Status<WindowsError>> try_component_library(const std::string& file_name,
                                                          const HString& class_id,
                                                          const win::GUID& iid, void** factory) {
  // Only the system's own copy: a library of that name beside the program
  // (or anywhere else on the default path) must never be run instead.
  LoadedLibrary library(file_name, win::LOAD_LIBRARY_SEARCH_SYSTEM32_);
  if (library.get() == nullptr) {
    return std::nullopt;
  }
  const win::FARPROC proc = platform::GetProcAddress(library.get(), "DllGetActivationFactory");
  if (proc == nullptr) {
    return std::nullopt;
  }
  // GetProcAddress hands out every export under one generic type.
  const auto get_factory =
      reinterpret_cast<platform::DllGetActivationFactoryProc>(reinterpret_cast<void (*)()>(proc));
  ComPtr<abi::IActivationFactory> activation_factory;
  if (win::failed(get_factory(class_id.get(), activation_factory.put())) || !activation_factory) {
    return std::nullopt;
  }
  if (win::failed(activation_factory->QueryInterface(iid, factory)) || *factory == nullptr) {
    *factory = nullptr;
    return Status<WindowsError>(Err(WindowsError::no_interface()));
  }
  library.keep_loaded();
  return Status<WindowsError>(Ok{});
}

// The process-wide frame pool statics. Never destroyed: releasing a runtime
// object while the process unloads is not safe.
struct StaticsCache {
  std::mutex mutex;
  ComPtr<abi::IDirect3D11CaptureFramePoolStatics> statics;
};

StaticsCache& statics_cache() {
  static auto* cache = new StaticsCache;
  return *cache;
}

bool is_agile(abi::IUnknown* object) {
  ComPtr<abi::IAgileObject> agile;
  return win::succeeded(object->QueryInterface(abi::IID_IAgileObject, agile.put_void())) && agile;
}

}  // namespace

Status<WindowsError> lookup_activation_factory(std::u16string_view class_name, const win::GUID& iid,
                                               void** factory) {
  *factory = nullptr;
  const HString class_id(class_name);
  if (win::failed(class_id.created())) {
    return Err(WindowsError::from_hresult(class_id.created()));
  }
  win::HRESULT hr = platform::RoGetActivationFactory(class_id.get(), iid, factory);
  if (hr == win::CO_E_NOTINITIALIZED_) {
    // The cookie is never given back: the process stays a user of the
    // multithreaded apartment from here on.
    void* cookie = nullptr;
    platform::CoIncrementMTAUsage(&cookie);
    hr = platform::RoGetActivationFactory(class_id.get(), iid, factory);
  }
  if (win::succeeded(hr) && *factory != nullptr) {
    return Ok{};
  }
  WindowsError runtime_error =
      win::failed(hr) ? WindowsError::from_hresult(hr) : WindowsError::missing_result();
  *factory = nullptr;
  for (const std::string& library : component_libraries(class_name)) {
    if (auto status = try_component_library(library, class_id, iid, factory)) {
      return std::move(*status);
    }
  }
  return Err(std::move(runtime_error));
}

Result<ComPtr<abi::IDirect3D11CaptureFramePoolStatics>, WindowsError> frame_pool_statics() {
  StaticsCache& cache = statics_cache();
  {
    std::lock_guard lock(cache.mutex);
    if (cache.statics) {
      return cache.statics;
    }
  }
  auto found = activation_factory<abi::IDirect3D11CaptureFramePoolStatics>(
      abi::kFramePoolClass, abi::IID_IDirect3D11CaptureFramePoolStatics);
  if (!found || !is_agile(found.value().get())) {
    return found;
  }
  ComPtr<abi::IDirect3D11CaptureFramePoolStatics> kept;
  {
    std::lock_guard lock(cache.mutex);
    if (!cache.statics) {
      cache.statics = found.value();
    }
    kept = cache.statics;
  }
#ifdef LUMIGRAB_TEST_HOOKS
  forget_cached_statics_on_reset();
#endif
  return kept;
}

void forget_cached_statics() noexcept {
  ComPtr<abi::IDirect3D11CaptureFramePoolStatics> forgotten;
  StaticsCache& cache = statics_cache();
  std::lock_guard lock(cache.mutex);
  forgotten.swap(cache.statics);
}

}  // namespace lumigrab::activation
