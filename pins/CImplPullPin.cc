#include "pins/CImplPullPin.h"

namespace ovts {

CImplPullPin::~CImplPullPin() { DisconnectFrom(); }

HRESULT CImplPullPin::ConnectTo(IPin* peer) {
  const HRESULT hr = Connect(peer, nullptr);
  pullConnected_.store(SUCCEEDED(hr));
  return hr;
}

void CImplPullPin::DisconnectFrom() {
  pullConnected_.store(false);
  Disconnect();
}

HRESULT CImplPullPin::Receive(IMediaSample* sample) { return input_.Receive(sample); }
HRESULT CImplPullPin::EndOfStream() { return input_.EndOfStream(); }
HRESULT CImplPullPin::BeginFlush() { return input_.BeginFlush(); }
HRESULT CImplPullPin::EndFlush() { return input_.EndFlush(); }

}  // namespace ovts
