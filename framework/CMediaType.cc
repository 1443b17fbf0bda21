#include "framework/CMediaType.h"

#include <cstring>

#include "framework/ComKit.h"

namespace ovts {

void InitMediaType(AM_MEDIA_TYPE& type) noexcept {
  std::memset(&type, 0, sizeof type);
  type.bFixedSizeSamples = TRUE;
  type.lSampleSize = 1;
}

void FreeMediaType(AM_MEDIA_TYPE& type) noexcept {
  if (type.pbFormat) CoTaskMemFree(type.pbFormat);
  type.pbFormat = nullptr;
  type.cbFormat = 0;
  if (type.pUnk) type.pUnk->Release();
  type.pUnk = nullptr;
}

HRESULT CopyMediaType(AM_MEDIA_TYPE& dest, const AM_MEDIA_TYPE& source) noexcept {
  dest = source;
  if (dest.pUnk) dest.pUnk->AddRef();
  if (source.cbFormat == 0 || !source.pbFormat) {
    dest.pbFormat = nullptr;
    return S_OK;
  }
  dest.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source.cbFormat));
  if (!dest.pbFormat) {
    dest.cbFormat = 0;
    return E_OUTOFMEMORY;
  }
  std::memcpy(dest.pbFormat, source.pbFormat, source.cbFormat);
  return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE& source) noexcept {
  TaskMem<AM_MEDIA_TYPE> record = TaskAlloc<AM_MEDIA_TYPE>(sizeof(AM_MEDIA_TYPE));
  if (!record) return nullptr;
  if (FAILED(CopyMediaType(*record, source))) {
    FreeMediaType(*record);
    return nullptr;
  }
  return record.release();
}

void DeleteMediaType(AM_MEDIA_TYPE* type) noexcept {
  if (!type) return;
  FreeMediaType(*type);
  CoTaskMemFree(type);
}

bool MediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) noexcept {
  if (!IsEqualGUID(a.majortype, b.majortype) || !IsEqualGUID(a.subtype, b.subtype) ||
      !IsEqualGUID(a.formattype, b.formattype) || a.cbFormat != b.cbFormat) {
    return false;
  }
  if (a.cbFormat == 0) return true;
  return a.pbFormat && b.pbFormat && std::memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0;
}

bool IsPartiallySpecified(const AM_MEDIA_TYPE& type) noexcept {
  return IsEqualGUID(type.majortype, GUID_NULL) || IsEqualGUID(type.formattype, GUID_NULL);
}

bool MatchesPartial(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE& pattern) noexcept {
  if (!IsEqualGUID(pattern.majortype, GUID_NULL) && !IsEqualGUID(type.majortype, pattern.majortype)) return false;
  if (!IsEqualGUID(pattern.subtype, GUID_NULL) && !IsEqualGUID(type.subtype, pattern.subtype)) return false;
  if (IsEqualGUID(pattern.formattype, GUID_NULL)) return true;
  if (!IsEqualGUID(type.formattype, pattern.formattype) || type.cbFormat != pattern.cbFormat) return false;
  if (type.cbFormat == 0) return true;
  return type.pbFormat && pattern.pbFormat && std::memcmp(type.pbFormat, pattern.pbFormat, type.cbFormat) == 0;
}

CMediaType::CMediaType(const GUID& major, const GUID& sub) noexcept {
  InitMediaType(*this);
  majortype = major;
  subtype = sub;
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& source) noexcept {
  if (&source == static_cast<AM_MEDIA_TYPE*>(this)) return S_OK;
  FreeMediaType(*this);
  return CopyMediaType(*this, source);
}

void CMediaType::Clear() noexcept {
  FreeMediaType(*this);
  InitMediaType(*this);
}

HRESULT CMediaType::SetFormat(const void* format, ULONG length) noexcept {
  BYTE* block = nullptr;
  if (length) {
    block = static_cast<BYTE*>(CoTaskMemAlloc(length));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, block);
    std::memcpy(block, format, length);
  }
  if (pbFormat) CoTaskMemFree(pbFormat);
  pbFormat = block;
  cbFormat = length;
  return S_OK;
}

AM_MEDIA_TYPE* CMediaType::ReleaseToTaskMemory() noexcept {
  TaskMem<AM_MEDIA_TYPE> record = TaskAlloc<AM_MEDIA_TYPE>(sizeof(AM_MEDIA_TYPE));
  if (!record) return nullptr;
  *record = *this;  // the record takes over the format block and the pUnk reference
  InitMediaType(*this);
  return record.release();
}

}  // namespace ovts
