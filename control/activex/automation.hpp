// The automation side of the control: text and values between COM and the
// portable controller, and the controller's errors as automation errors.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "kdr/error.hpp"
#include "kdr/variant.hpp"
#include "windows_com.hpp"

namespace kdr::activex {

/// The source named in the automation errors the control raises.
inline constexpr wchar_t kErrorSource[] = L"KDRCtrl";

/// A BSTR's characters as 8-bit characters of the system's code page, one
/// byte a character: the text the controller works with. A character the code
/// page cannot show becomes "?". Where the system's code page takes more than
/// one byte a character, the characters 0 to 255 map to the bytes 0 to 255.
[[nodiscard]] std::string bytes_from_bstr(const BSTR text);
/// The reverse: each byte becomes one character. Throws std::bad_alloc.
[[nodiscard]] BSTR bstr_from_bytes(std::string_view bytes);

/// A VARIANT as the controller's Variant. By-reference values are followed;
/// types beyond empty, null, boolean, integers, floating-point numbers and
/// text are converted with the system's rules (to a number where they hold
/// one, else to text). Throws kdr::Error(TypeMismatch) for values that hold
/// neither (an object without a value, an array).
[[nodiscard]] kdr::Variant from_variant(const VARIANT& value);
/// The controller's Variant as a VARIANT the caller owns.
void to_variant(const kdr::Variant& value, VARIANT* out);

/// The automation error code of a kind of failure.
[[nodiscard]] HRESULT hresult_of(ErrorKind kind) noexcept;

/// A failure on its way to an automation caller: code and description.
struct AutomationError {
    HRESULT code = S_OK;
    std::wstring description;
};

/// The error an exception stands for. bad_alloc is E_OUTOFMEMORY.
[[nodiscard]] AutomationError automation_error(const std::exception& error);

/// Hands the error to the thread's error object (SetErrorInfo), for callers
/// of the vtable, and returns its code.
HRESULT raise(const AutomationError& error, REFIID interface_id) noexcept;

/// Fills an EXCEPINFO for IDispatch::Invoke. Safe with a null pointer.
void fill_excepinfo(EXCEPINFO* info, const AutomationError& error) noexcept;

/// The description as wide text, from the controller's 8-bit text.
[[nodiscard]] std::wstring wide_from_bytes(std::string_view bytes);

}  // namespace kdr::activex
