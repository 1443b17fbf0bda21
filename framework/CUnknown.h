// COM identity with aggregation. CUnknown implements the non-delegating IUnknown; every interface
// an object exposes forwards its IUnknown calls to the owner (the aggregating outer object, or the
// object's own non-delegating IUnknown) through DECLARE_IUNKNOWN. Called on any thread.
#pragma once

#include <unknwn.h>

#include <atomic>

#include "framework/CBaseObject.h"

namespace ovts {

// Laid out like IUnknown, so an object's non-delegating side can serve as its owner.
struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  // A null outer makes the object its own owner.
  explicit CUnknown(IUnknown* outer) noexcept;
  virtual ~CUnknown() = default;

  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** result) override;
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  IUnknown* GetOwner() const noexcept { return owner_; }

  // Hands out one interface of this object with a reference added.
  static HRESULT GetInterface(IUnknown* object, void** result) noexcept;

 protected:
  // Drops one reference and returns the new count. At zero the count is set back to 1, so that
  // the caller's clean-up before its delete cannot re-enter the deletion.
  LONG DropReference() noexcept;

 private:
  IUnknown* const owner_;           // not held
  std::atomic<LONG> refCount_{0};  // atomic
};

}  // namespace ovts

// Each interface of an object answers IUnknown through the object's owner.
#define DECLARE_IUNKNOWN                                                                  \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {          \
    return GetOwner()->QueryInterface(iid, result);                                       \
  }                                                                                       \
  ULONG STDMETHODCALLTYPE AddRef() override { return GetOwner()->AddRef(); }              \
  ULONG STDMETHODCALLTYPE Release() override { return GetOwner()->Release(); }
