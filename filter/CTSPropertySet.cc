#include "filter/CTSPropertySet.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "OVTimeShift.h"
#include "filter/CTSFilter.h"

namespace ovts {

namespace {

// Copies a record out of the caller's property data, which need not be aligned.
template <class T>
T Unpack(const void* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// Fills a record with `get` and hands it to the caller's area, which must be exactly its size.
template <class T, class Getter>
HRESULT Pack(void* data, DWORD length, DWORD* returned, Getter get) {
  RETURN_HR_IF(E_INVALIDARG, length != sizeof(T));
  T value{};
  const HRESULT hr = get(&value);
  RETURN_IF_FAILED(hr);
  std::memcpy(data, &value, sizeof value);
  if (returned) *returned = sizeof value;
  return hr;
}

}  // namespace

HRESULT CTSPropertySet::QueryInterface(REFIID iid, void** result) { return filter_.GetOwner()->QueryInterface(iid, result); }
ULONG CTSPropertySet::AddRef() { return filter_.GetOwner()->AddRef(); }
ULONG CTSPropertySet::Release() { return filter_.GetOwner()->Release(); }

HRESULT CTSPropertySet::Get(REFGUID set, DWORD id, void*, DWORD, void* data, DWORD length, DWORD* returned) {
  if (returned) *returned = 0;
  RETURN_HR_IF_NULL(E_INVALIDARG, data);
  if (IsEqualGUID(set, TSPROPSETID_Control)) return GetControl(id, data, length, returned);
  if (IsEqualGUID(set, TSPROPSETID_Recording)) return GetRecording(id, data, length, returned);
  if (IsEqualGUID(set, TSPROPSETID_Time)) return GetTime(id, data, length, returned);
  RETURN_HR_IF(kSetNotFound, !IsEqualGUID(set, TSPROPSETID_PassThrough));
  RETURN_HR_IF(kPropertyNotFound, id != TSPROPERTY_PASS_THROUGH);
  RETURN_HR_IF(E_INVALIDARG, length != sizeof(uint32_t));
  const uint32_t on = filter_.PassThrough() ? 1 : 0;
  std::memcpy(data, &on, sizeof on);
  return S_OK;
}

HRESULT CTSPropertySet::GetControl(DWORD id, void* data, DWORD length, DWORD* returned) {
  CTSControl& control = filter_.Control();
  switch (id) {
    case TSPROPERTY_PLAY_POSITION:
      return Pack<int64_t>(data, length, returned, [&](int64_t* v) { return control.GetReadLocation(v); });
    case TSPROPERTY_CACHE_SETTINGS:
      return Pack<TSCacheConfig>(data, length, returned, [&](TSCacheConfig* v) { return control.GetCacheSettings(v); });
    case TSPROPERTY_BUFFER_SETTINGS:
      return Pack<TSBufferConfig>(data, length, returned,
                                  [&](TSBufferConfig* v) { return control.GetBufferSettings(v); });
    case TSPROPERTY_PLAY_STATE:
      return Pack<uint32_t>(data, length, returned, [&](uint32_t* v) {
        RETURN_HR_IF(E_FAIL, filter_.PassThrough());  // no playback state while the buffer is out
        *v = filter_.PlayState();
        return S_OK;
      });
    default:
      return kPropertyNotFound;
  }
}

HRESULT CTSPropertySet::GetRecording(DWORD id, void* data, DWORD length, DWORD* returned) {
  CCircFileBuf& buffer = filter_.Buffer();
  auto text = [&](const COVStringT& value) {
    return Pack<TSRecordingText>(data, length, returned, [&](TSRecordingText* v) {
      MultiByteToWideChar(CP_ACP, 0, value.c_str(), -1, v->text, static_cast<int>(std::size(v->text)));
      v->text[std::size(v->text) - 1] = L'\0';
      return S_OK;
    });
  };
  switch (id) {
    case TSPROPERTY_RECORDING_DROPPED_BYTES:
      return Pack<uint64_t>(data, length, returned, [&](uint64_t* v) {
        *v = buffer.GetDroppedBytes();
        return S_OK;
      });
    case TSPROPERTY_RECORDING_FAULT:
      return Pack<int32_t>(data, length, returned, [&](int32_t* v) {
        *v = buffer.GetRecordingFault();
        return S_OK;
      });
    case TSPROPERTY_RECORDING_FILE:
      return text(buffer.GetFilePath());
    case TSPROPERTY_RECORDING_PROBLEM:
      return text(buffer.GetProblem());
    default:
      return kPropertyNotFound;
  }
}

HRESULT CTSPropertySet::GetTime(DWORD id, void* data, DWORD length, DWORD* returned) {
  RETURN_HR_IF(kPropertyNotFound, id < TSPROPERTY_TIME_BIT_RATE || id > TSPROPERTY_TIME_STATUS);
  const TSTimeStatus status = filter_.Buffer().GetTimeStatus();
  auto give = [&](auto value) {
    return Pack<decltype(value)>(data, length, returned, [&](decltype(value)* v) {
      *v = value;
      return S_OK;
    });
  };
  switch (id) {
    case TSPROPERTY_TIME_BIT_RATE:
      return give(status.bitsPerSecond);
    case TSPROPERTY_TIME_RETAINED:
      return give(status.retainedSeconds);
    case TSPROPERTY_TIME_DELAY:
      return give(status.delaySeconds);
    case TSPROPERTY_TIME_UNTIL_OVERWRITE:
      return give(status.secondsUntilOverwrite);
    case TSPROPERTY_TIME_DROPPED_BYTES:
      return give(status.droppedBytes);
    case TSPROPERTY_TIME_SOURCE:
      return give(status.source);
    default:
      return give(status);
  }
}

HRESULT CTSPropertySet::Set(REFGUID set, DWORD id, void*, DWORD, void* data, DWORD length) {
  RETURN_HR_IF_NULL(E_INVALIDARG, data);
  if (IsEqualGUID(set, TSPROPSETID_Control)) return SetControl(id, data, length);
  // read-only
  RETURN_HR_IF(kPropertyNotFound, IsEqualGUID(set, TSPROPSETID_Recording) || IsEqualGUID(set, TSPROPSETID_Time));
  RETURN_HR_IF(kSetNotFound, !IsEqualGUID(set, TSPROPSETID_PassThrough));
  RETURN_HR_IF(kPropertyNotFound, id != TSPROPERTY_PASS_THROUGH);
  uint32_t on = 0;
  std::memcpy(&on, data, std::min<DWORD>(length, sizeof on));
  return filter_.SetPassThrough(on != 0);
}

HRESULT CTSPropertySet::SetControl(DWORD id, const void* data, DWORD length) {
  CTSControl& control = filter_.Control();
  switch (id) {
    case TSPROPERTY_PLAY_POSITION:
      // Longer data is taken: the position is its first 8 bytes.
      RETURN_HR_IF(E_INVALIDARG, length < sizeof(int64_t));
      return control.SetPlayPosition(Unpack<int64_t>(data), 1);
    case TSPROPERTY_CACHE_SETTINGS: {
      RETURN_HR_IF(E_INVALIDARG, length != sizeof(TSCacheConfig));
      auto config = Unpack<TSCacheConfig>(data);
      return control.SetCacheSettings(&config);
    }
    case TSPROPERTY_CACHE_BITRATE:
      RETURN_HR_IF(E_INVALIDARG, length != sizeof(uint32_t));
      return control.SetCacheBitRate(Unpack<uint32_t>(data));
    case TSPROPERTY_BUFFER_SETTINGS: {
      // The copy takes over the caller's two strings, which SetBufferSettings frees.
      RETURN_HR_IF(E_INVALIDARG, length != sizeof(TSBufferConfig));
      auto config = Unpack<TSBufferConfig>(data);
      return control.SetBufferSettings(&config);
    }
    default:
      return kPropertyNotFound;
  }
}

HRESULT CTSPropertySet::QuerySupported(REFGUID set, DWORD id, DWORD* support) {
  if (support) *support = 0;
  if (IsEqualGUID(set, TSPROPSETID_PassThrough)) {
    if (id == TSPROPERTY_PASS_THROUGH && support) *support = KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET;
    return kPropertyNotFound;
  }
  if (IsEqualGUID(set, TSPROPSETID_Recording)) {
    RETURN_HR_IF(kPropertyNotFound, id < TSPROPERTY_RECORDING_DROPPED_BYTES || id > TSPROPERTY_RECORDING_PROBLEM);
    if (support) *support = KSPROPERTY_SUPPORT_GET;
    return S_OK;
  }
  if (IsEqualGUID(set, TSPROPSETID_Time)) {
    RETURN_HR_IF(kPropertyNotFound, id < TSPROPERTY_TIME_BIT_RATE || id > TSPROPERTY_TIME_STATUS);
    if (support) *support = KSPROPERTY_SUPPORT_GET;
    return S_OK;
  }
  RETURN_HR_IF(kSetNotFound, !IsEqualGUID(set, TSPROPSETID_Control));
  DWORD answer;
  switch (id) {
    case 0:
    case TSPROPERTY_PLAY_POSITION:
    case TSPROPERTY_CACHE_SETTINGS:
      answer = KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET;
      break;
    case 1:
    case 2:
    case TSPROPERTY_PLAY_STATE:
      answer = KSPROPERTY_SUPPORT_GET;
      break;
    default:
      return kPropertyNotFound;
  }
  if (support) *support = answer;
  return S_OK;
}

}  // namespace ovts
