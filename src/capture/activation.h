// Finding the activation factory of a Windows Runtime class.
#pragma once

#include <string_view>

#include "lib/result.h"
#include "lib/windows_error.h"
#include "platform/com_ptr.h"

namespace lumigrab::activation {

// Puts a reference to the factory of `class_name` answering `iid` into
// *factory. Asks the runtime first (making the process a user of the
// multithreaded apartment when the calling thread has not joined one), then
// the component libraries named after the class name's prefixes.
Status<WindowsError> lookup_activation_factory(std::u16string_view class_name, const win::GUID& iid,
                                               void** factory);

template <typename Interface>
Result<ComPtr<Interface>, WindowsError> activation_factory(std::u16string_view class_name,
                                                           const win::GUID& iid) {
  ComPtr<Interface> factory;
  if (auto status = lookup_activation_factory(class_name, iid, factory.put_void()); !status) {
    return Err(std::move(status).error());
  }
  return factory;
}

// The frame pool class's statics. The first agile one found is kept for the
// rest of the process (when two threads race, the first stored wins); one
// that is not agile is handed out once and looked up again next time.
Result<ComPtr<abi::IDirect3D11CaptureFramePoolStatics>, WindowsError> frame_pool_statics();

// Drops the kept statics, so that a test starting from a fresh desktop gets a
// fresh object and the old one is released.
void forget_cached_statics() noexcept;

#ifdef LUMIGRAB_TEST_HOOKS
// Makes the simulated desktop's reset call forget_cached_statics; defined with
// the test hooks. Called when the statics are first kept.
void forget_cached_statics_on_reset();
#endif

}  // namespace lumigrab::activation
