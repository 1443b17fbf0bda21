#include "framework/ComKit.h"

#include <cwchar>

namespace ovts {

std::unique_ptr<WCHAR[]> WideCopy(const WCHAR* text) noexcept {
  if (!text) return nullptr;
  const size_t length = wcslen(text);
  std::unique_ptr<WCHAR[]> copy(new (std::nothrow) WCHAR[length + 1]);
  if (copy) wmemcpy(copy.get(), text, length + 1);
  return copy;
}

HRESULT TaskWideCopy(const WCHAR* text, WCHAR** result) noexcept {
  RETURN_HR_IF_NULL(E_POINTER, result);
  *result = nullptr;
  RETURN_HR_IF_NULL(E_INVALIDARG, text);
  const size_t length = wcslen(text);
  TaskMem<WCHAR> copy = TaskAlloc<WCHAR>((length + 1) * sizeof(WCHAR));
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, copy);
  wmemcpy(copy.get(), text, length + 1);
  *result = copy.release();
  return S_OK;
}

void WideCopyTruncated(WCHAR* dest, size_t capacity, const WCHAR* text) noexcept {
  if (capacity == 0) return;
  const size_t length = text ? wcsnlen(text, capacity - 1) : 0;
  if (length) wmemcpy(dest, text, length);
  dest[length] = L'\0';
}

}  // namespace ovts
