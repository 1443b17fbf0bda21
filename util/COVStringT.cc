#include "util/COVStringT.h"

#include <cctype>
#include <cstring>
#include <new>

namespace ovts {

COVStringT::COVStringT(const COVStringT& other) : _COVStringBase<char>() { Append(other.c_str()); }

COVStringT::COVStringT(const char* text) { Append(text); }

COVStringT& COVStringT::operator=(const COVStringT& other) {
  if (this != &other) *this = other.c_str();
  return *this;
}

COVStringT& COVStringT::operator=(const char* text) {
  if (text == storage_ && text) return *this;
  if (storage_ && text >= storage_ && text < storage_ + capacity_) {
    COVStringT copy(text);  // the text lives in our own storage, which is about to be cleared
    return *this = copy;
  }
  if (storage_) std::memset(storage_, 0, capacity_);
  length_ = 0;
  Append(text);
  return *this;
}

void COVStringT::Append(const char* text) {
  if (!text || !*text) return;
  size_t add = std::strlen(text);
  if (FAILED(Reserve(length_ + 1 + add))) return;
  std::memcpy(storage_ + length_, text, add);
  length_ += add;
  storage_[length_] = '\0';
}

int COVStringT::Compare(const char* text) const {
  if (empty()) return (!text || !*text) ? 0 : -1;
  if (!text) return 1;
  const auto* a = reinterpret_cast<const unsigned char*>(storage_);
  const auto* b = reinterpret_cast<const unsigned char*>(text);
  if (caseSensitive_) {
    int r = std::strcmp(storage_, text);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
  }
  for (;; ++a, ++b) {
    int ca = std::tolower(*a), cb = std::tolower(*b);
    if (ca != cb || !ca) return ca - cb;
  }
}

COVStringT COVStringT::Mid(size_t start, size_t count) const {
  COVStringT out;
  if (start >= length_) return out;
  if (count == kAll || count > length_ - start) count = length_ - start;
  if (SUCCEEDED(out.Reserve(count + 1))) {
    std::memcpy(out.storage_, storage_ + start, count);
    out.storage_[count] = '\0';
    out.length_ = count;
  }
  return out;
}

BSTR COVStringT::ToBstr() const {
  if (empty()) return nullptr;
  BSTR out = port::NarrowToBstr(storage_);
  if (!out) throw std::bad_alloc();
  return out;
}

void COVStringT::SyncLength() { length_ = storage_ ? strnlen(storage_, capacity_) : 0; }

COVStringT operator+(const COVStringT& a, const COVStringT& b) {
  COVStringT out(a);
  out.Append(b.c_str());
  return out;
}

void OVStrCopy(char* dest, size_t destSize, const char* src, size_t count) {
  if (!dest || destSize == 0) return;
  size_t n = 0;
  if (src)
    while (n < count && n + 1 < destSize && src[n]) ++n;
  if (n) std::memcpy(dest, src, n);
  dest[n] = '\0';
}

}  // namespace ovts
