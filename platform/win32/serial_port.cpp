#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "kdr/error.hpp"
#include "kdr/win32_platform.hpp"

namespace kdr::win32 {
namespace {

// The buffer sizes of the design-time configuration; the driver may round them.
constexpr DWORD kReceiveBuffer = 1024;
constexpr DWORD kTransmitBuffer = 512;
// Character put in place of one received with a parity error.
constexpr char kParityErrorChar = '?';
// The longest a single waiting read is left to the driver: how late a wait
// under Wine may notice the first byte.
constexpr DWORD kSliceMs = 5;
// Bytes a single ReadFile asks for.
constexpr std::size_t kChunk = 4096;

BYTE parity_code(char parity) {
    switch (parity) {
        case 'e':
            return EVENPARITY;
        case 'o':
            return ODDPARITY;
        case 'm':
            return MARKPARITY;
        case 's':
            return SPACEPARITY;
        default:
            return NOPARITY;
    }
}

BYTE stop_bits_code(StopBits stop_bits) {
    switch (stop_bits) {
        case StopBits::OnePointFive:
            return ONE5STOPBITS;
        case StopBits::Two:
            return TWOSTOPBITS;
        case StopBits::One:
            break;
    }
    return ONESTOPBIT;
}

// Errors by which a handle reports that its device went away (a USB adapter
// unplugged while open; under Wine, "not ready" from a pseudo-terminal whose
// other end closed).
bool is_gone(DWORD code) {
    return code == ERROR_BAD_COMMAND || code == ERROR_DEVICE_NOT_CONNECTED ||
           code == ERROR_DEV_NOT_EXIST || code == ERROR_OPERATION_ABORTED ||
           code == ERROR_GEN_FAILURE || code == ERROR_NOT_READY;
}

DWORD milliseconds_until(kdr::Clock::Instant deadline, kdr::Clock::Instant now) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<DWORD>(std::clamp<decltype(left)>(left, 1, MAXDWORD - 1));
}

}  // namespace

std::string system_message(DWORD code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message;
    if (length != 0 && text != nullptr) {
        message.assign(text, length);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                    message.back() == ' ' || message.back() == '.')) {
            message.pop_back();
        }
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    if (message.empty()) {
        message = fmt::format("system error {}", code);
    }
    return message;
}

SerialPort::SerialPort(std::int16_t number, DWORD write_timeout_ms)
    : number_(number), write_timeout_ms_(write_timeout_ms) {
    if (number < 1) {
        throw Error(
            ErrorKind::InvalidPortNumber,
            fmt::format("port number {} is invalid: port numbers start at 1 (COM1)", number));
    }
}

SerialPort::~SerialPort() {
    close();
}

std::string SerialPort::name() const {
    return fmt::format("COM{}", number_);
}

LineState SerialPort::state() const noexcept {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return LineState::Closed;
    }
    return dropped_ ? LineState::Dropped : LineState::Open;
}

Error SerialPort::failure(DWORD code, std::string_view what, ErrorKind otherwise) {
    const bool gone = is_gone(code);
    dropped_ = dropped_ || gone;
    if (gone) {
        return Error(ErrorKind::LineDropped,
                     fmt::format("{}: the line went away ({}): {}; check the reader's cable or "
                                 "adapter, then close and open the port",
                                 name(), what, system_message(code)));
    }
    return Error(otherwise, fmt::format("{}: {}: {}", name(), what, system_message(code)));
}

void SerialPort::require_usable(std::string_view action) const {
    if (handle_ == INVALID_HANDLE_VALUE) {
        throw Error(ErrorKind::PortNotOpen,
                    fmt::format("{} is closed: open the port before {}", name(), action));
    }
    if (dropped_) {
        throw Error(ErrorKind::LineDropped,
                    fmt::format("{}: the line went away; check the reader's cable or adapter, "
                                "then close and open the port",
                                name()));
    }
}

void SerialPort::apply(const LineSettings& settings) {
    require_usable("changing its settings");
    set_state(settings);
    settings_ = settings;
}

void SerialPort::set_state(const LineSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle_, &dcb)) {
        throw failure(GetLastError(), "cannot read the line settings", ErrorKind::IoError);
    }
    dcb.BaudRate = static_cast<DWORD>(settings.baud);
    dcb.ByteSize = static_cast<BYTE>(settings.data_bits);
    dcb.Parity = parity_code(settings.parity);
    dcb.StopBits = stop_bits_code(settings.stop_bits);
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity == 'n' ? FALSE : TRUE;
    // No handshaking of any kind: the reader has none.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    // DTR and RTS on: many readers and adapters power their line driver from them.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fErrorChar = dcb.fParity;
    dcb.ErrorChar = kParityErrorChar;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle_, &dcb)) {
        const DWORD code = GetLastError();
        if (is_gone(code)) {
            throw failure(code, "cannot set the line settings", ErrorKind::IoError);
        }
        throw Error(ErrorKind::InvalidSettings,
                    fmt::format("{} does not take the line settings {}: {}", name(),
                                to_string(settings), system_message(code)));
    }
}

void SerialPort::open(const LineSettings& settings) {
    if (handle_ != INVALID_HANDLE_VALUE) {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("{} is open already: close it before opening it again", name()));
    }
    // The device namespace form reaches COM10 and above as well.
    const std::string path = fmt::format("\\\\.\\COM{}", number_);
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        switch (code) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_BAD_UNIT:
            case ERROR_DEV_NOT_EXIST:
                throw Error(ErrorKind::PortMissing,
                            fmt::format("{} does not exist: check the port number and that the "
                                        "reader's cable or adapter is plugged in",
                                        name()));
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                // Serial ports are opened exclusively: "access denied" means
                // another program has it.
                throw Error(ErrorKind::PortBusy,
                            fmt::format("{} is in use by another program: close that program "
                                        "or choose another port",
                                        name()));
            default:
                throw Error(ErrorKind::IoError, fmt::format("{}: cannot open the port: {}", name(),
                                                            system_message(code)));
        }
    }
    handle_ = handle;
    dropped_ = false;
    try {
        if (!SetupComm(handle_, kReceiveBuffer, kTransmitBuffer)) {
            // The driver keeps its own buffers; that is no reason to fail.
            SetLastError(ERROR_SUCCESS);
        }
        set_state(settings);
        // Reads return at once with whatever has arrived; writes give up
        // after the write timeout.
        read_wait_ms_ = MAXDWORD;  // the driver's time-outs are unknown until set
        set_read_wait(0);
        (void)PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    } catch (...) {
        close();
        throw;
    }
    settings_ = settings;
}

void SerialPort::close() noexcept {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return;
    }
    (void)CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    dropped_ = false;
}

void SerialPort::set_read_wait(DWORD wait_ms) {
    if (wait_ms == read_wait_ms_) {
        return;
    }
    COMMTIMEOUTS timeouts{};
    // MAXDWORD, 0, 0: a read returns at once with what has arrived.
    // MAXDWORD, MAXDWORD, n: it returns as soon as one byte has arrived, or
    // after n ms with nothing.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = wait_ms == 0 ? 0 : MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = wait_ms;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = write_timeout_ms_;
    if (!SetCommTimeouts(handle_, &timeouts)) {
        throw failure(GetLastError(), "cannot set the time-outs", ErrorKind::IoError);
    }
    read_wait_ms_ = wait_ms;
}

DWORD SerialPort::queued(std::string_view what) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) {
        throw failure(GetLastError(), what, ErrorKind::IoError);
    }
    return status.cbInQue;
}

std::size_t SerialPort::available() {
    require_usable("counting the received characters");
    return queued("cannot count the received characters");
}

void SerialPort::discard_input() {
    require_usable("discarding the received characters");
    if (!PurgeComm(handle_, PURGE_RXCLEAR | PURGE_RXABORT)) {
        throw failure(GetLastError(), "cannot discard the received characters", ErrorKind::IoError);
    }
}

std::size_t SerialPort::read(std::string& into, kdr::Clock::Instant deadline) {
    require_usable("reading");
    if (deadline <= monotonic_now()) {
        return read_now(into);
    }
    return read_waiting(into, deadline);
}

std::size_t SerialPort::read_now(std::string& into) {
    set_read_wait(0);
    std::size_t total = 0;
    std::array<char, kChunk> chunk{};
    while (true) {
        DWORD got = 0;
        if (!ReadFile(handle_, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
            const Error error = failure(GetLastError(), "cannot read", ErrorKind::IoError);
            // What arrived before a failure is handed over; the next call reports it.
            if (total != 0) {
                return total;
            }
            throw error;
        }
        if (got == 0) {
            return total;
        }
        into.append(chunk.data(), got);
        total += got;
    }
}

std::size_t SerialPort::take_queued(std::string& into) {
    std::size_t total = 0;
    std::array<char, kChunk> chunk{};
    while (true) {
        DWORD errors = 0;
        COMSTAT status{};
        // A failure here is left for the next call to meet.
        if (!ClearCommError(handle_, &errors, &status) || status.cbInQue == 0) {
            return total;
        }
        DWORD got = 0;
        const DWORD ask = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(chunk.size()));
        if (!ReadFile(handle_, chunk.data(), ask, &got, nullptr) || got == 0) {
            return total;
        }
        into.append(chunk.data(), got);
        total += got;
    }
}

std::size_t SerialPort::read_waiting(std::string& into, kdr::Clock::Instant deadline) {
    std::array<char, kChunk> chunk{};
    for (auto now = monotonic_now(); now < deadline; now = monotonic_now()) {
        // Windows ends such a read at the first byte; Wine only at its
        // time-out, so the wait goes to the driver in slices.
        const DWORD slice = std::min(kSliceMs, milliseconds_until(deadline, now));
        set_read_wait(slice);
        DWORD got = 0;
        if (!ReadFile(handle_, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
            throw failure(GetLastError(), "cannot read", ErrorKind::IoError);
        }
        if (got != 0) {
            into.append(chunk.data(), got);
            return got + take_queued(into);
        }
        // A line that hung up reads as nothing at once on some drivers (and
        // under Wine): asking its state fails there. A driver that ends the
        // read early for another reason is given the rest of the slice, so
        // that the wait never spins.
        if (queued("cannot read") == 0) {
            const auto slice_end = now + std::chrono::milliseconds(slice);
            const auto after = monotonic_now();
            if (after < slice_end) {
                Sleep(milliseconds_until(slice_end, after));
            }
        }
    }
    return 0;
}

void SerialPort::write(std::string_view bytes) {
    require_usable("writing");
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const std::size_t left = bytes.size() - sent;
        const DWORD ask = left > 65536 ? 65536 : static_cast<DWORD>(left);
        DWORD wrote = 0;
        if (!WriteFile(handle_, bytes.data() + sent, ask, &wrote, nullptr)) {
            throw failure(
                GetLastError(),
                fmt::format("cannot write ({} of {} characters were sent)", sent, bytes.size()),
                ErrorKind::IoError);
        }
        if (wrote == 0) {
            throw Error(ErrorKind::IoError,
                        fmt::format("{}: the line accepts no data: {} of {} characters were "
                                    "sent, then nothing for {} ms; check that nothing holds the "
                                    "line and that the reader is switched on",
                                    name(), sent, bytes.size(), write_timeout_ms_));
        }
        sent += wrote;
    }
}

}  // namespace kdr::win32
