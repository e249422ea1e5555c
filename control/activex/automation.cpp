#include "automation.hpp"

#include <new>

namespace kdr::activex {
namespace {

// Automation errors in the control facility carry the classic run-time error
// numbers in their low word, which hosts show as Err.Number.
constexpr HRESULT control_error(unsigned number) noexcept {
    return static_cast<HRESULT>(0x800A0000U | number);
}

constexpr unsigned kIllegalFunctionCall = 5;
constexpr unsigned kOutOfMemory = 7;
constexpr unsigned kDeviceIoError = 57;
constexpr unsigned kInvalidUseOfNull = 94;
constexpr unsigned kInvalidPropertyValue = 380;
// The serial component's own numbers.
constexpr unsigned kInvalidPortNumber = 8002;
constexpr unsigned kPortAlreadyOpen = 8005;
constexpr unsigned kPortNotOpen = 8018;

bool single_byte_code_page() {
    CPINFO info{};
    return GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1;
}

class BstrHolder {
  public:
    explicit BstrHolder(BSTR text) noexcept : text_(text) {}
    ~BstrHolder() { SysFreeString(text_); }
    BstrHolder(const BstrHolder&) = delete;
    BstrHolder& operator=(const BstrHolder&) = delete;
    [[nodiscard]] BSTR get() const noexcept { return text_; }

  private:
    BSTR text_;
};

class VariantHolder {
  public:
    VariantHolder() noexcept { VariantInit(&value_); }
    ~VariantHolder() { (void)VariantClear(&value_); }
    VariantHolder(const VariantHolder&) = delete;
    VariantHolder& operator=(const VariantHolder&) = delete;
    VARIANT* get() noexcept { return &value_; }

  private:
    VARIANT value_;
};

kdr::Variant from_plain(const VARIANT& value) {
    switch (V_VT(&value)) {
        case VT_EMPTY:
            return {};
        case VT_NULL:
            return kdr::Variant::null();
        case VT_BOOL:
            return kdr::Variant::boolean(V_BOOL(&value) != VARIANT_FALSE);
        case VT_I2:
            return kdr::Variant(static_cast<std::int16_t>(V_I2(&value)));
        case VT_I4:
            return kdr::Variant(static_cast<std::int32_t>(V_I4(&value)));
        case VT_R8:
            return kdr::Variant(V_R8(&value));
        case VT_BSTR:
            return kdr::Variant(bytes_from_bstr(V_BSTR(&value)));
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_INT:
        case VT_UI4:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_CY:
        case VT_DECIMAL: {
            VariantHolder number;
            if (FAILED(VariantChangeType(number.get(), const_cast<VARIANT*>(&value), 0, VT_R8))) {
                throw Error(ErrorKind::Overflow, "the number does not fit the type needed");
            }
            return kdr::Variant(V_R8(number.get()));
        }
        default: {
            // Dates, objects with a default value, errors: their text form is
            // what a text parameter would get, and numbers convert from it.
            VariantHolder text;
            if (FAILED(VariantChangeType(text.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR))) {
                throw Error(ErrorKind::TypeMismatch, "Type mismatch: the value has no text form");
            }
            return kdr::Variant(bytes_from_bstr(V_BSTR(text.get())));
        }
    }
}

}  // namespace

std::string bytes_from_bstr(const BSTR text) {
    const UINT length = SysStringLen(text);
    std::string bytes;
    if (length == 0) {
        return bytes;
    }
    if (!single_byte_code_page()) {
        bytes.reserve(length);
        for (UINT i = 0; i < length; ++i) {
            const wchar_t c = text[i];
            bytes += c < 256 ? static_cast<char>(static_cast<unsigned char>(c)) : '?';
        }
        return bytes;
    }
    bytes.resize(length);
    const int converted = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length),
                                              bytes.data(), static_cast<int>(length), "?", nullptr);
    bytes.resize(converted > 0 ? static_cast<std::size_t>(converted) : 0U);
    return bytes;
}

BSTR bstr_from_bytes(std::string_view bytes) {
    const UINT length = static_cast<UINT>(bytes.size());
    BSTR text = SysAllocStringLen(nullptr, length);
    if (text == nullptr) {
        throw std::bad_alloc();
    }
    if (length == 0) {
        return text;
    }
    if (!single_byte_code_page()) {
        for (UINT i = 0; i < length; ++i) {
            text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
        }
        return text;
    }
    const int converted = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(length),
                                              text, static_cast<int>(length));
    if (converted != static_cast<int>(length)) {
        // A single-byte code page gives one character a byte; anything else is
        // a failure of the system, shown rather than cut short.
        for (UINT i = 0; i < length; ++i) {
            text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
        }
    }
    return text;
}

std::wstring wide_from_bytes(std::string_view bytes) {
    const BstrHolder text(bstr_from_bytes(bytes));
    return std::wstring(text.get(), SysStringLen(text.get()));
}

kdr::Variant from_variant(const VARIANT& value) {
    if ((V_VT(&value) & VT_ARRAY) != 0) {
        throw Error(ErrorKind::TypeMismatch, "Type mismatch: an array cannot be used here");
    }
    if ((V_VT(&value) & VT_BYREF) != 0) {
        VariantHolder plain;
        if (FAILED(VariantCopyInd(plain.get(), const_cast<VARIANT*>(&value)))) {
            throw Error(ErrorKind::TypeMismatch, "Type mismatch: the reference cannot be read");
        }
        return from_plain(*plain.get());
    }
    return from_plain(value);
}

void to_variant(const kdr::Variant& value, VARIANT* out) {
    VariantInit(out);
    switch (value.type()) {
        case kdr::Variant::Type::Empty:
            return;
        case kdr::Variant::Type::Null:
            V_VT(out) = VT_NULL;
            return;
        case kdr::Variant::Type::Bool:
            V_VT(out) = VT_BOOL;
            V_BOOL(out) = value.to_variant_bool();
            return;
        case kdr::Variant::Type::I2:
            V_VT(out) = VT_I2;
            V_I2(out) = value.to_i2();
            return;
        case kdr::Variant::Type::I4:
            V_VT(out) = VT_I4;
            V_I4(out) = value.to_i4();
            return;
        case kdr::Variant::Type::R8:
            V_VT(out) = VT_R8;
            V_R8(out) = value.to_double();
            return;
        case kdr::Variant::Type::Text:
            V_BSTR(out) = bstr_from_bytes(value.to_text());
            V_VT(out) = VT_BSTR;
            return;
    }
}

HRESULT hresult_of(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::None:
            return S_OK;
        case ErrorKind::TypeMismatch:
            return DISP_E_TYPEMISMATCH;
        case ErrorKind::Overflow:
            return DISP_E_OVERFLOW;
        case ErrorKind::InvalidUseOfNull:
            return control_error(kInvalidUseOfNull);
        case ErrorKind::InvalidArgument:
            return control_error(kIllegalFunctionCall);
        case ErrorKind::PortMissing:
        case ErrorKind::InvalidPortNumber:
            return control_error(kInvalidPortNumber);
        case ErrorKind::PortBusy:
            return control_error(kPortAlreadyOpen);
        case ErrorKind::PortNotOpen:
            return control_error(kPortNotOpen);
        case ErrorKind::InvalidSettings:
            return control_error(kInvalidPropertyValue);
        case ErrorKind::LineDropped:
        case ErrorKind::IoError:
            return control_error(kDeviceIoError);
        case ErrorKind::AnswerTooLong:
            return control_error(kOutOfMemory);
        case ErrorKind::OperationInProgress:
            return HRESULT_FROM_WIN32(ERROR_BUSY);
        case ErrorKind::NoAnswer:
        case ErrorKind::Refused:
        case ErrorKind::NotConnected:
        case ErrorKind::BadAnswer:
        case ErrorKind::Incomplete:
        case ErrorKind::ClockMismatch:
        case ErrorKind::LineBusy:
            return E_FAIL;
    }
    return E_FAIL;
}

AutomationError automation_error(const std::exception& error) {
    AutomationError result;
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        result.code = E_OUTOFMEMORY;
        result.description = L"Out of memory";
        return result;
    }
    const auto* ours = dynamic_cast<const Error*>(&error);
    result.code = ours != nullptr ? hresult_of(ours->kind()) : E_FAIL;
    result.description = wide_from_bytes(error.what());
    return result;
}

HRESULT raise(const AutomationError& error, REFIID interface_id) noexcept {
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        (void)create->SetGUID(interface_id);
        (void)create->SetSource(const_cast<LPOLESTR>(kErrorSource));
        (void)create->SetDescription(const_cast<LPOLESTR>(error.description.c_str()));
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            (void)SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return error.code;
}

void fill_excepinfo(EXCEPINFO* info, const AutomationError& error) noexcept {
    if (info == nullptr) {
        return;
    }
    SysFreeString(info->bstrSource);
    SysFreeString(info->bstrDescription);
    SysFreeString(info->bstrHelpFile);
    *info = EXCEPINFO{};
    info->scode = error.code;
    info->bstrSource = SysAllocString(kErrorSource);
    info->bstrDescription = SysAllocString(error.description.c_str());
}

}  // namespace kdr::activex
