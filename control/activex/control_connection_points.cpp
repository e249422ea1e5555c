// Connection points: IConnectionPointContainer of the control and its one
// connection point, for the event interface __KDRController.
#include <new>
#include <utility>
#include <vector>

#include "KDRCtrl_h.h"
#include "connection_point.hpp"
#include "kdr_control.hpp"

namespace kdr::activex {
namespace {

/// An enumerator over a fixed list of COM pointers or plain records.
template <typename Enum, typename Item>
class ListEnum final : public Enum {
  public:
    ListEnum(IUnknown* owner, std::vector<Item> items, std::size_t position = 0)
        : owner_(owner), items_(std::move(items)), position_(position) {
        owner_->AddRef();
        for (Item& item : items_) {
            add_ref(item);
        }
    }
    ~ListEnum() {
        for (Item& item : items_) {
            release_item(item);
        }
        owner_->Release();
    }
    ListEnum(const ListEnum&) = delete;
    ListEnum& operator=(const ListEnum&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == __uuidof(Enum)) {
            *object = static_cast<Enum*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return references_.add(); }
    STDMETHODIMP_(ULONG) Release() override { return references_.release(this); }
    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        if (out == nullptr || (count > 1 && fetched == nullptr)) {
            return E_POINTER;
        }
        ULONG done = 0;
        while (done < count && position_ < items_.size()) {
            out[done] = items_[position_++];
            add_ref(out[done]);
            ++done;
        }
        if (fetched != nullptr) {
            *fetched = done;
        }
        return done == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const std::size_t left = items_.size() - position_;
        if (count > left) {
            position_ = items_.size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Enum** copy) override {
        if (copy == nullptr) {
            return E_POINTER;
        }
        *copy = new (std::nothrow) ListEnum(owner_, items_, position_);
        return *copy == nullptr ? E_OUTOFMEMORY : S_OK;
    }

  private:
    static void add_ref(IConnectionPoint* item) { item->AddRef(); }
    static void add_ref(CONNECTDATA& item) { item.pUnk->AddRef(); }
    static void release_item(IConnectionPoint* item) { item->Release(); }
    static void release_item(CONNECTDATA& item) { item.pUnk->Release(); }

    ReferenceCount references_;
    IUnknown* owner_;
    std::vector<Item> items_;
    std::size_t position_;
};

}  // namespace

// ---- The connection point ---------------------------------------------------

ConnectionPoint::~ConnectionPoint() {
    for (auto& [cookie, sink] : sinks_) {
        sink->Release();
    }
}

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ConnectionPoint::AddRef() {
    return static_cast<IConnectionPointContainer&>(owner_).AddRef();
}

STDMETHODIMP_(ULONG) ConnectionPoint::Release() {
    return static_cast<IConnectionPointContainer&>(owner_).Release();
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (iid == nullptr) {
        return E_POINTER;
    }
    *iid = DIID___KDRController;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (container == nullptr) {
        return E_POINTER;
    }
    *container = &owner_;
    (*container)->AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (sink == nullptr || cookie == nullptr) {
        return E_POINTER;
    }
    *cookie = 0;
    IUnknown* events = nullptr;
    if (FAILED(sink->QueryInterface(DIID___KDRController, reinterpret_cast<void**>(&events))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&events)))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = ++last_cookie_;
    sinks_.emplace(*cookie, events);
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
    const auto found = sinks_.find(cookie);
    if (found == sinks_.end()) {
        return CONNECT_E_NOCONNECTION;
    }
    found->second->Release();
    sinks_.erase(found);
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** connections) {
    if (connections == nullptr) {
        return E_POINTER;
    }
    std::vector<CONNECTDATA> items;
    for (const auto& [cookie, sink] : sinks_) {
        items.push_back(CONNECTDATA{sink, cookie});
    }
    *connections = new (std::nothrow) ListEnum<IEnumConnections, CONNECTDATA>(
        static_cast<IConnectionPoint*>(this), std::move(items));
    return *connections == nullptr ? E_OUTOFMEMORY : S_OK;
}

// ---- IConnectionPointContainer --------------------------------------------

STDMETHODIMP Control::EnumConnectionPoints(IEnumConnectionPoints** points) {
    if (points == nullptr) {
        return E_POINTER;
    }
    std::vector<IConnectionPoint*> items{events_.get()};
    *points = new (std::nothrow) ListEnum<IEnumConnectionPoints, IConnectionPoint*>(
        static_cast<IConnectionPointContainer*>(this), std::move(items));
    return *points == nullptr ? E_OUTOFMEMORY : S_OK;
}

STDMETHODIMP Control::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    if (point == nullptr) {
        return E_POINTER;
    }
    *point = nullptr;
    if (iid != DIID___KDRController) {
        return CONNECT_E_NOCONNECTION;
    }
    *point = events_.get();
    (*point)->AddRef();
    return S_OK;
}

}  // namespace kdr::activex
