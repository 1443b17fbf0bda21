// The small RAII kit of the project's Windows code: owners for task memory, kernel handles,
// registry keys and COM apartments, and wide-string copies, beside the early-return macros of
// platform/Result.h. Nothing here throws.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <cstddef>
#include <cwchar>
#include <memory>
#include <new>

#include "platform/Result.h"

namespace ovts {

using Microsoft::WRL::ComPtr;

struct TaskMemFree {
  void operator()(void* block) const noexcept { CoTaskMemFree(block); }
};

// Owns one block of task memory (CoTaskMemAlloc) until it is handed out with release().
template <class T>
using TaskMem = std::unique_ptr<T, TaskMemFree>;

template <class T>
TaskMem<T> TaskAlloc(size_t bytes) noexcept {
  return TaskMem<T>(static_cast<T*>(CoTaskMemAlloc(bytes)));
}

// Owns a kernel handle (thread, event, file). INVALID_HANDLE_VALUE, what a failed CreateFile
// gives, counts as no handle, like null.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }
  HANDLE release() noexcept {
    HANDLE h = handle_;
    handle_ = nullptr;
    return h;
  }
  void reset(HANDLE handle = nullptr) noexcept {
    if (handle_) CloseHandle(handle_);
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Owns an opened registry key (a predefined root is never closed).
class [[nodiscard]] UniqueRegKey {
 public:
  UniqueRegKey() = default;
  ~UniqueRegKey() { reset(); }
  UniqueRegKey(const UniqueRegKey&) = delete;
  UniqueRegKey& operator=(const UniqueRegKey&) = delete;

  // Opens or creates `path` below `parent` for writing.
  LONG Create(HKEY parent, const WCHAR* path) {
    reset();
    return RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key_, nullptr);
  }
  LONG SetString(const WCHAR* name, const WCHAR* text) {
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR));
    return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
  }
  HKEY get() const noexcept { return key_; }
  // For the calls that open a key into it; the key held before is closed first.
  HKEY* put() noexcept {
    reset();
    return &key_;
  }
  void reset() noexcept {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

// Joins the calling thread to a COM apartment for a scope; leaves only if the join succeeded.
class [[nodiscard]] ComApartment {
 public:
  explicit ComApartment(DWORD flags = COINIT_MULTITHREADED) noexcept : hr_(CoInitializeEx(nullptr, flags)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT result() const noexcept { return hr_; }

 private:
  const HRESULT hr_;
};

// A heap copy of a wide string; null for a null source or when memory runs out.
std::unique_ptr<WCHAR[]> WideCopy(const WCHAR* text) noexcept;

// A task-memory copy of a wide string for a caller to free. E_POINTER for a null result,
// E_INVALIDARG for a null source.
HRESULT TaskWideCopy(const WCHAR* text, WCHAR** result) noexcept;

// Copies at most capacity - 1 characters and a terminator; an empty string for a null source.
void WideCopyTruncated(WCHAR* dest, size_t capacity, const WCHAR* text) noexcept;

// Hands out a COM pointer with a reference added (null allowed).
template <class T>
HRESULT HandOut(T* object, T** result) noexcept {
  RETURN_HR_IF_NULL(E_POINTER, result);
  if (object) object->AddRef();
  *result = object;
  return S_OK;
}

}  // namespace ovts
