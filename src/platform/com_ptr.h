// Owner of one counted reference to a COM or Windows Runtime interface.
#pragma once

#include <utility>

#include "platform/abi.h"

namespace lumigrab {

template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor)
  ComPtr(const ComPtr& other) noexcept : ptr_(other.ptr_) { add_ref(); }
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~ComPtr() { reset(); }

  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).swap(*this);
    return *this;
  }

  // Takes over a reference the caller already owns.
  static ComPtr attach(T* ptr) noexcept {
    ComPtr result;
    result.ptr_ = ptr;
    return result;
  }
  // Adds a reference of its own to a borrowed pointer.
  static ComPtr copy(T* ptr) noexcept {
    ComPtr result;
    result.ptr_ = ptr;
    result.add_ref();
    return result;
  }

  T* get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  // Releases what is held and returns the slot for an out-parameter.
  T** put() noexcept {
    reset();
    return &ptr_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  // Gives the reference up to the caller without releasing it.
  T* detach() noexcept { return std::exchange(ptr_, nullptr); }

  void reset() noexcept {
    if (T* old = std::exchange(ptr_, nullptr)) {
      old->Release();
    }
  }

  void swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

 private:
  void add_ref() const noexcept {
    if (ptr_ != nullptr) {
      ptr_->AddRef();
    }
  }

  T* ptr_ = nullptr;
};

}  // namespace lumigrab
