// The media-type value: an AM_MEDIA_TYPE that owns its format block (task memory) and its pUnk
// reference, with the one equality and partial-match rule set used by negotiation, the pins and
// the filter. Also the helpers for task-allocated types handed across COM.
//
// A value is used by one thread at a time; its owner's lock (if any) guards it.
#pragma once

#include <dshow.h>

#include <memory>

namespace ovts {

// All zero except fixed-size samples (true) and sample size (1).
void InitMediaType(AM_MEDIA_TYPE& type) noexcept;
// Frees the format block and releases pUnk; the GUIDs stay.
void FreeMediaType(AM_MEDIA_TYPE& type) noexcept;
// Copies source into an uninitialised dest. Out of memory leaves dest without a format block
// (format length 0) and answers E_OUTOFMEMORY.
HRESULT CopyMediaType(AM_MEDIA_TYPE& dest, const AM_MEDIA_TYPE& source) noexcept;
// A task-allocated copy, as handed out to callers; null when memory runs out.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE& source) noexcept;
// Frees a task-allocated type: its fields, then the record itself. Null is allowed.
void DeleteMediaType(AM_MEDIA_TYPE* type) noexcept;

// Major type, subtype and format type identical, format lengths equal, and either both lengths 0
// or both blocks present and byte-equal. The sample flags and size do not count.
bool MediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) noexcept;
// Null major type or null format type.
bool IsPartiallySpecified(const AM_MEDIA_TYPE& type) noexcept;
// The type against a pattern whose null major type, subtype or format type match anything.
bool MatchesPartial(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE& pattern) noexcept;

struct MediaTypeDeleter {
  void operator()(AM_MEDIA_TYPE* type) const noexcept { DeleteMediaType(type); }
};
// Owns a task-allocated type received from an enumerator or a sample.
using UniqueMediaType = std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter>;

class CMediaType : public AM_MEDIA_TYPE {
 public:
  CMediaType() noexcept { InitMediaType(*this); }
  CMediaType(const GUID& major, const GUID& sub) noexcept;
  // A failed format copy leaves a value without format block; use Set to see the result.
  explicit CMediaType(const AM_MEDIA_TYPE& source) noexcept { CopyMediaType(*this, source); }
  CMediaType(const CMediaType& other) noexcept : CMediaType(static_cast<const AM_MEDIA_TYPE&>(other)) {}
  CMediaType& operator=(const CMediaType& other) noexcept {
    Set(other);
    return *this;
  }
  CMediaType& operator=(const AM_MEDIA_TYPE& other) noexcept {
    Set(other);
    return *this;
  }
  ~CMediaType() { FreeMediaType(*this); }

  // Clears this value, then copies; assigning a value to itself does nothing.
  HRESULT Set(const AM_MEDIA_TYPE& source) noexcept;
  // Frees the owned parts and re-initialises the value.
  void Clear() noexcept;
  // Replaces the format block with a copy of the given bytes (format type unchanged).
  HRESULT SetFormat(const void* format, ULONG length) noexcept;
  // Moves the value into a new task-allocated record (this value is left initialised); null when
  // memory runs out, and this value is unchanged.
  AM_MEDIA_TYPE* ReleaseToTaskMemory() noexcept;

  bool operator==(const AM_MEDIA_TYPE& other) const noexcept { return MediaTypesEqual(*this, other); }
  bool IsPartiallySpecified() const noexcept { return ovts::IsPartiallySpecified(*this); }
  bool MatchesPartial(const AM_MEDIA_TYPE& pattern) const noexcept { return ovts::MatchesPartial(*this, pattern); }
};

}  // namespace ovts
