// IKsPropertySet of the time-shift filter, a sub-object whose IUnknown is the filter's owner
// (as CTSControl is): the Control set carries the play position, the cache and buffer settings
// and the playback state through the control interface; the PassThrough set switches the
// buffer out of the stream. Property data must have exactly its record's size, except where a
// property says otherwise; instance data is ignored. The Recording and Time sets are read-only. QuerySupported answers from a fixed table
// that hosts have always been given, not from what Get and Set accept.
//
// Threads: any host thread, and the settings pages on their frame's thread. Takes no lock of its
// own: each property takes the locks of the control method it calls, and the pass-through
// switch the state lock.
#pragma once

#include <windows.h>
#include <dshow.h>

namespace ovts {

class CTSFilter;

class CTSPropertySet final : public IKsPropertySet {
 public:
  static constexpr HRESULT kPropertyNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  static constexpr HRESULT kSetNotFound = HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);

  explicit CTSPropertySet(CTSFilter& filter) noexcept : filter_(filter) {}
  CTSPropertySet(const CTSPropertySet&) = delete;
  CTSPropertySet& operator=(const CTSPropertySet&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // The pass-through flag reads the first 4 bytes given (fewer when fewer are given).
  HRESULT STDMETHODCALLTYPE Set(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                                DWORD length) override;
  // `returned` is 0 unless a Control property was written (the pass-through flag leaves it 0).
  HRESULT STDMETHODCALLTYPE Get(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                                DWORD length, DWORD* returned) override;
  HRESULT STDMETHODCALLTYPE QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

 private:
  HRESULT GetControl(DWORD id, void* data, DWORD length, DWORD* returned);
  HRESULT GetRecording(DWORD id, void* data, DWORD length, DWORD* returned);
  HRESULT GetTime(DWORD id, void* data, DWORD length, DWORD* returned);
  HRESULT SetControl(DWORD id, const void* data, DWORD length);

  CTSFilter& filter_;
};

}  // namespace ovts
