// The small RAII and error kit of the project's Windows code: early-return macros instead of error
// ladders, owners for task memory, kernel handles and COM apartments, and wide-string copies.
// Nothing here throws.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

#define RETURN_IF_FAILED(expr)        \
  do {                                \
    const HRESULT ovtsHr_ = (expr);   \
    if (FAILED(ovtsHr_)) return ovtsHr_; \
  } while (0)

// Returns anything but S_OK, success codes included.
#define RETURN_IF_NOT_OK(expr)        \
  do {                                \
    const HRESULT ovtsHr_ = (expr);   \
    if (ovtsHr_ != S_OK) return ovtsHr_; \
  } while (0)

#define RETURN_HR_IF(hr, condition) \
  do {                              \
    if (condition) return (hr);     \
  } while (0)

#define RETURN_HR_IF_NULL(hr, pointer) RETURN_HR_IF(hr, (pointer) == nullptr)

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

// Owns a kernel handle (thread, event, file).
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
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
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
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
