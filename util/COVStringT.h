// The maker's narrow (ANSI) string: paths, names, registry paths and control texts. Storage comes
// from the process heap in blocks of 64 characters. Used by one thread at a time.
#pragma once

#include <cstddef>

#include "platform/Types.h"
#include "util/COVBasicBuffer.h"

namespace ovts {

template <typename T>
class _COVStringBase : public COVBasicBuffer<T, 64, 64> {
 public:
  ~_COVStringBase() override { this->ReleaseStorage(); }

 protected:
  bool caseSensitive_ = false;  // false: Compare ignores case
  size_t length_ = 0;
};

class COVStringT : public _COVStringBase<char> {
 public:
  static constexpr size_t kAll = static_cast<size_t>(-1);

  COVStringT() = default;
  COVStringT(const COVStringT& other);
  COVStringT(const char* text);  // NOLINT: implicit on purpose, like the text it wraps
  ~COVStringT() override { ReleaseStorage(); }

  COVStringT& operator=(const COVStringT& other);
  COVStringT& operator=(const char* text);

  void Append(const char* text);
  COVStringT& operator+=(const char* text) {
    Append(text);
    return *this;
  }

  // Negative, zero or positive like strcmp; ignores case unless SetCaseSensitive(true).
  int Compare(const char* text) const;
  COVStringT Mid(size_t start, size_t count = kAll) const;
  // A new BSTR (null for an empty string); the caller frees it. Throws std::bad_alloc.
  BSTR ToBstr() const;

  const char* c_str() const { return storage_ ? storage_ : ""; }
  char* data() { return storage_; }
  size_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  void SetCaseSensitive(bool on) { caseSensitive_ = on; }
  // After writing into data() directly: re-measures the text.
  void SyncLength();
};

COVStringT operator+(const COVStringT& a, const COVStringT& b);

// Copies at most `count` characters of src into dest (destSize elements), always terminated.
void OVStrCopy(char* dest, size_t destSize, const char* src, size_t count);

}  // namespace ovts
