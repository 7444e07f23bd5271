#include "platform/posix/errors.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "platform/posix/messages.h"
#include "platform/posix/objects.h"

namespace lumigrab::posix {
namespace {

constexpr DWORD kErrorMessageNotFound = 317;  // ERROR_MR_MID_NOT_FOUND

using MessageTable = std::map<DWORD, std::u16string>;

MessageTable default_system_messages() {
  return {
      {0, u"The operation completed successfully.\r\n"},
      {5, u"Access is denied.\r\n"},
      {6, u"The handle is invalid.\r\n"},
      {87, u"The parameter is incorrect.\r\n"},
      {1167, u"The device is not connected.\r\n"},
      {1400, u"Invalid window handle.\r\n"},
      {1444, u"Invalid thread identifier.\r\n"},
      {1461, u"Invalid monitor handle.\r\n"},
      {0x80000013U, u"The object has been closed.\r\n"},
      {0x8000000EU, u"A method was called at an unexpected time.\r\n"},
      {0x80004001U, u"Not implemented\r\n"},
      {0x80004002U, u"No such interface supported\r\n"},
      {0x80004003U, u"Invalid pointer\r\n"},
      {0x80004005U, u"Unspecified error\r\n"},
      {0x80010106U, u"Cannot change thread mode after it is set.\r\n"},
      {0x800401F0U, u"CoInitialize has not been called.\r\n"},
      {0x80040154U, u"Class not registered\r\n"},
      {0x80070005U, u"Access is denied.\r\n"},
      {0x80070006U, u"The handle is invalid.\r\n"},
      {0x8007000EU, u"Not enough memory resources are available to complete this operation.\r\n"},
      {0x80070057U, u"The parameter is incorrect.\r\n"},
      {0x8007048FU, u"The device is not connected.\r\n"},
      {0x80070578U, u"Invalid window handle.\r\n"},
      {0x800705A4U, u"Invalid thread identifier.\r\n"},
      {0x887A0005U,
       u"The GPU device instance has been suspended. Use GetDeviceRemovedReason to determine "
       u"the appropriate action.\r\n"},
  };
}

MessageTable default_ntdll_messages() {
  return {
      {0xC0000008U, u"An invalid HANDLE was specified.\r\n"},
      {0xC000000DU, u"An invalid parameter was passed to a service or function.\r\n"},
      {0xC0000022U,
       u"{Access Denied}\r\nA process has requested access to an object, but has not been "
       u"granted those access rights.\r\n"},
  };
}

struct MessageTables {
  std::mutex mutex;
  MessageTable system = default_system_messages();
  MessageTable ntdll = default_ntdll_messages();
};

MessageTables& message_tables() {
  static MessageTables* const instance = new MessageTables();
  return *instance;
}

std::optional<std::u16string> find_message(DWORD flags, const void* source, DWORD message_id) {
  auto& tables = message_tables();
  const std::lock_guard lock(tables.mutex);
  // A module's own table is searched before the system's.
  if ((flags & FORMAT_MESSAGE_FROM_HMODULE_) != 0 &&
      reinterpret_cast<std::uintptr_t>(source) == kNtdllModule) {
    if (const auto found = tables.ntdll.find(message_id); found != tables.ntdll.end()) {
      return found->second;
    }
  }
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM_) != 0) {
    if (const auto found = tables.system.find(message_id); found != tables.system.end()) {
      return found->second;
    }
  }
  return std::nullopt;
}

// A BSTR's allocation: a 32-bit byte length, the units and a zero unit; the
// BSTR points at the units, as on Windows.
using BstrWords = std::uint32_t[];

BSTR bstr_of(std::uint32_t* words) {
  return reinterpret_cast<BSTR>(words + 1);
}
std::uint32_t* words_of(BSTR string) {
  return reinterpret_cast<std::uint32_t*>(string) - 1;
}

// An error-information object, as the runtime leaves one on a thread whose
// call failed. With a restricted description it also answers
// IRestrictedErrorInfo, as the runtime's own objects do.
//
// g++ takes the interfaces' protected destructors for accessible ones here;
// the object is destroyed by its own Release only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class ErrorInfo final : public abi::IErrorInfo, public abi::IRestrictedErrorInfo {
 public:
  static ComPtr<abi::IErrorInfo> make(std::u16string description,
                                      std::optional<std::u16string> restricted) {
    return ComPtr<abi::IErrorInfo>::attach(static_cast<abi::IErrorInfo*>(
        new ErrorInfo(std::move(description), std::move(restricted))));
  }

  ErrorInfo(const ErrorInfo&) = delete;
  ErrorInfo& operator=(const ErrorInfo&) = delete;

  HRESULT LUMIGRAB_STDCALL QueryInterface(const GUID& iid, void** out) override {
    if (out == nullptr) {
      return E_POINTER_;
    }
    if (iid == abi::IID_IUnknown || iid == abi::IID_IErrorInfo) {
      *out = static_cast<abi::IErrorInfo*>(this);
    } else if (iid == abi::IID_IRestrictedErrorInfo && restricted_) {
      *out = static_cast<abi::IRestrictedErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE_;
    }
    AddRef();
    return S_OK_;
  }
  ULONG LUMIGRAB_STDCALL AddRef() override { return ++references_; }
  ULONG LUMIGRAB_STDCALL Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      delete this;
    }
    return left;
  }

  HRESULT LUMIGRAB_STDCALL GetGUID(GUID* guid) override {
    if (guid == nullptr) {
      return E_POINTER_;
    }
    *guid = GUID{};
    return S_OK_;
  }
  HRESULT LUMIGRAB_STDCALL GetSource(BSTR* source) override { return give(source, u""); }
  HRESULT LUMIGRAB_STDCALL GetDescription(BSTR* description) override {
    return give(description, description_);
  }
  HRESULT LUMIGRAB_STDCALL GetHelpFile(BSTR* help_file) override { return give(help_file, u""); }
  HRESULT LUMIGRAB_STDCALL GetHelpContext(DWORD* help_context) override {
    if (help_context == nullptr) {
      return E_POINTER_;
    }
    *help_context = 0;
    return S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL GetErrorDetails(BSTR* description, HRESULT* error,
                                           BSTR* restricted_description,
                                           BSTR* capability_sid) override {
    if (description == nullptr || error == nullptr || restricted_description == nullptr ||
        capability_sid == nullptr) {
      return E_POINTER_;
    }
    *description = make_bstr(description_);
    *error = E_FAIL_;
    *restricted_description = make_bstr(restricted_.value_or(u""));
    // A real string, so that a caller that forgets to free it leaks visibly.
    *capability_sid = make_bstr(u"");
    return S_OK_;
  }
  HRESULT LUMIGRAB_STDCALL GetReference(BSTR* reference) override { return give(reference, u""); }

 private:
  ErrorInfo(std::u16string description, std::optional<std::u16string> restricted)
      : description_(std::move(description)), restricted_(std::move(restricted)) {
    count_live("error_info", 1);
  }
  ~ErrorInfo() { count_live("error_info", -1); }

  static HRESULT give(BSTR* out, std::u16string_view text) {
    if (out == nullptr) {
      return E_POINTER_;
    }
    *out = make_bstr(text);
    return S_OK_;
  }

  std::atomic<ULONG> references_{1};
  const std::u16string description_;
  const std::optional<std::u16string> restricted_;
};
#pragma GCC diagnostic pop

thread_local ComPtr<abi::IErrorInfo> t_error_info;

}  // namespace

DWORD format_message(DWORD flags, const void* source, DWORD message_id, WCHAR** buffer) {
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER_) == 0 || buffer == nullptr) {
    set_last_error(kErrorInvalidParameter);
    return 0;
  }
  const std::optional<std::u16string> text = find_message(flags, source, message_id);
  if (!text) {
    set_last_error(kErrorMessageNotFound);
    return 0;
  }
  auto storage = std::make_unique<WCHAR[]>(text->size() + 1);
  std::copy(text->begin(), text->end(), storage.get());
  count_live("message_buffer", 1);
  *buffer = storage.release();  // owned by the caller until free_message_buffer
  return static_cast<DWORD>(text->size());
}

void free_message_buffer(WCHAR* buffer) {
  if (buffer == nullptr) {
    return;
  }
  const std::unique_ptr<WCHAR[]> owner(buffer);
  count_live("message_buffer", -1);
}

void set_system_message(DWORD message_id, std::optional<std::u16string> text, bool ntdll) {
  auto& tables = message_tables();
  const std::lock_guard lock(tables.mutex);
  MessageTable& table = ntdll ? tables.ntdll : tables.system;
  if (text) {
    table.insert_or_assign(message_id, std::move(*text));
  } else {
    table.erase(message_id);
  }
}

void reset_message_tables() {
  auto& tables = message_tables();
  const std::lock_guard lock(tables.mutex);
  tables.system = default_system_messages();
  tables.ntdll = default_ntdll_messages();
}

BSTR make_bstr(std::u16string_view text) {
  const std::size_t bytes = text.size() * sizeof(WCHAR);
  const std::size_t words = 1 + (bytes + sizeof(WCHAR) + 3) / 4;
  auto storage = std::make_unique<BstrWords>(words);
  storage[0] = static_cast<std::uint32_t>(bytes);
  const BSTR string = bstr_of(storage.get());
  std::copy(text.begin(), text.end(), string);
  string[text.size()] = 0;
  count_live("bstr", 1);
  storage.release();  // owned by the caller until free_bstr
  return string;
}

void free_bstr(BSTR string) {
  if (string == nullptr) {
    return;
  }
  const std::unique_ptr<BstrWords> owner(words_of(string));
  count_live("bstr", -1);
}

UINT bstr_length(BSTR string) {
  if (string == nullptr) {
    return 0;
  }
  return static_cast<UINT>(*words_of(string) / sizeof(WCHAR));
}

void set_thread_error_info(std::u16string description,
                           std::optional<std::u16string> restricted_description) {
  t_error_info = ErrorInfo::make(std::move(description), std::move(restricted_description));
}

void put_thread_error_info(abi::IErrorInfo* info) {
  t_error_info = ComPtr<abi::IErrorInfo>::copy(info);
}

ComPtr<abi::IErrorInfo> take_thread_error_info() {
  return std::move(t_error_info);
}

}  // namespace lumigrab::posix
