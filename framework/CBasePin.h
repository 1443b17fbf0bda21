// The pin half of the framework: COM identity (reference counts forward to the owning filter),
// connection with media-type negotiation, and the hooks derived pins fill in.
//
// Threads: the graph's threads connect, disconnect and query; the filter's state changes call
// Active/Inactive/Run under the filter lock; a streaming thread calls NewSegment and the flush and
// end-of-stream operations. The pin shares its filter's lock (see CBaseFilter for the order).
#pragma once

#include <dshow.h>

#include <atomic>
#include <memory>

#include "framework/CBaseFilter.h"
#include "framework/CMediaType.h"
#include "framework/ComKit.h"
#include "framework/CUnknown.h"
#include "platform/Platform.h"

namespace ovts {

class CBasePin : public CUnknown, public IPin, public IQualityControl {
 public:
  CBasePin(CBaseFilter* filter, port::RecursiveLock* filterLock, const WCHAR* name, PIN_DIRECTION direction) noexcept;
  ~CBasePin() override;

  DECLARE_IUNKNOWN
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override;
  // A pin counts no references of its own: holding a pin holds its filter.
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  virtual LONG GetMediaTypeVersion();
  // The filter leaves Stopped (connected pins only; under the filter lock).
  virtual HRESULT Active();
  // The filter returns to Stopped (connected pins only; under the filter lock).
  virtual HRESULT Inactive();
  virtual HRESULT Run(REFERENCE_TIME start);
  // S_OK accepts the type; anything else refuses it.
  virtual HRESULT CheckMediaType(const AM_MEDIA_TYPE* type) = 0;
  virtual HRESULT SetMediaType(const AM_MEDIA_TYPE* type);
  virtual HRESULT CheckConnect(IPin* peer);
  virtual HRESULT BreakConnect();
  virtual HRESULT CompleteConnect(IPin* peer);
  // The pin's own type at a position: S_OK, or VFW_S_NO_MORE_ITEMS past the last one.
  virtual HRESULT GetMediaType(int position, CMediaType* type) = 0;

  // IPin
  HRESULT STDMETHODCALLTYPE Connect(IPin* peer, const AM_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE Disconnect() override;
  HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** peer) override;
  HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override;
  HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* direction) override;
  HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override;
  HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** types) override;
  HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin** pins, ULONG* count) override;
  HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  // IQualityControl
  HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* sender, Quality quality) override;
  HRESULT STDMETHODCALLTYPE SetSink(IQualityControl* sink) override;

  bool IsConnected() const noexcept { return connected_ != nullptr; }
  // The peer, not referenced; null when unconnected.
  IPin* GetConnected() const noexcept { return connected_.Get(); }
  bool IsStopped() const noexcept { return !filter_->IsActive(); }
  const CMediaType& CurrentMediaType() const noexcept { return mediaType_; }
  CBaseFilter* Filter() const noexcept { return filter_; }
  // Tells media-type enumerators that the offered types changed.
  void IncrementTypeVersion() noexcept { typeVersion_.fetch_add(1); }

 protected:
  // The connection steps, all under the filter lock.
  HRESULT AgreeMediaType(IPin* peer, const AM_MEDIA_TYPE* type);
  HRESULT TryMediaTypes(IPin* peer, const AM_MEDIA_TYPE* pattern, IEnumMediaTypes* types);
  HRESULT AttemptConnection(IPin* peer, const AM_MEDIA_TYPE& type);
  // Connection changes are refused while the filter runs unless the pin allows them.
  bool ConnectionChangeRefused() const noexcept { return !IsStopped() && !canReconnectWhenActive_; }

  std::unique_ptr<WCHAR[]> name_;      // set at construction; null when it could not be copied
  ComPtr<IPin> connected_;             // filter lock; changes only while stopped
  const PIN_DIRECTION direction_;
  port::RecursiveLock* const lock_;
  std::atomic<bool> runTimeError_{false};  // atomic; set by the delivery thread
  bool canReconnectWhenActive_ = false;    // set by derived pins at construction
  bool tryMyTypesFirst_ = false;           // set by derived pins at construction
  CBaseFilter* const filter_;              // not held: the filter owns the pin
  IQualityControl* qualitySink_ = nullptr;  // filter lock; not held
  std::atomic<LONG> typeVersion_{1};       // atomic
  CMediaType mediaType_;                   // filter lock
  REFERENCE_TIME segmentStart_ = 0;        // delivery thread
  REFERENCE_TIME segmentStop_ = 0x7FFFFFFFFFFFFFFF;  // delivery thread
  double segmentRate_ = 1.0;               // delivery thread
};

}  // namespace ovts
