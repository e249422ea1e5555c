// The connection point of the event interface __KDRController.
#pragma once

#include <map>

#include "windows_com.hpp"

namespace kdr::activex {

class Control;

/// The control raises no events; hosts still connect their sinks here. The
/// connection point lives and dies with its control: its references are the
/// control's.
class ConnectionPoint final : public IConnectionPoint {
  public:
    explicit ConnectionPoint(Control& owner) : owner_(owner) {}
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

  private:
    Control& owner_;
    std::map<DWORD, IUnknown*> sinks_;
    DWORD last_cookie_ = 0;
};

}  // namespace kdr::activex
