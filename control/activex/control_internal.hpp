// What the files of the control share: reference helpers for the interface
// pointers it holds, the units of its extent, and Control::call, which runs
// a member of the automation interface.
#pragma once

#include <exception>

#include "KDRCtrl_h.h"
#include "automation.hpp"
#include "kdr_control.hpp"

namespace kdr::activex {

inline constexpr LONG kHimetricPerInch = 2540;
inline constexpr LONG kTwipsPerInch = 1440;

/// Releases a held interface pointer and forgets it.
template <typename T>
void release(T*& pointer) noexcept {
    if (pointer != nullptr) {
        pointer->Release();
        pointer = nullptr;
    }
}

/// Holds `value` (one reference of its own) in place of what `pointer` held.
template <typename T>
void assign(T*& pointer, T* value) noexcept {
    if (value != nullptr) {
        value->AddRef();
    }
    release(pointer);
    pointer = value;
}

template <typename Body>
HRESULT Control::call(Body&& body) noexcept {
    AddRef();
    HRESULT hr = S_OK;
    try {
        body();
    } catch (const std::exception& error) {
        last_error_ = automation_error(error);
        hr = raise(last_error_, IID__KDRController);
    }
    Release();
    return hr;
}

}  // namespace kdr::activex
