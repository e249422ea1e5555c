#include <fmt/format.h>

#include <array>
#include <limits>

#include "kdr/error.hpp"
#include "kdr/win32_platform.hpp"

namespace kdr::win32 {
namespace {

// The buffer sizes of the design-time configuration; the driver may round them.
constexpr DWORD kReceiveBuffer = 1024;
constexpr DWORD kTransmitBuffer = 512;
// Character put in place of one received with a parity error.
constexpr char kParityErrorChar = '?';

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
// unplugged while open).
bool is_gone(DWORD code) {
    return code == ERROR_BAD_COMMAND || code == ERROR_DEVICE_NOT_CONNECTED ||
           code == ERROR_DEV_NOT_EXIST || code == ERROR_OPERATION_ABORTED ||
           code == ERROR_GEN_FAILURE;
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

SerialPort::SerialPort(DWORD write_timeout_ms) : write_timeout_ms_(write_timeout_ms) {}

SerialPort::~SerialPort() {
    close_port();
}

std::string SerialPort::describe() const {
    return fmt::format("COM{}", port_);
}

void SerialPort::put_CommPort(std::int16_t port) {
    if (get_PortOpen()) {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("{} is open: the port number cannot change while the port is "
                                "open; close it first",
                                describe()));
    }
    port_ = port;
}

std::string SerialPort::get_Settings() const {
    return to_string(settings_);
}

void SerialPort::put_Settings(std::string_view settings) {
    const LineSettings parsed = parse_line_settings(settings);
    if (get_PortOpen()) {
        apply(parsed);
    }
    settings_ = parsed;
}

void SerialPort::apply(const LineSettings& settings) const {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle_, &dcb)) {
        const DWORD code = GetLastError();
        throw Error(
            is_gone(code) ? ErrorKind::LineDropped : ErrorKind::IoError,
            fmt::format("{}: cannot read the line settings: {}", describe(), system_message(code)));
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
        throw Error(is_gone(code) ? ErrorKind::LineDropped : ErrorKind::InvalidSettings,
                    fmt::format("{} does not take the line settings {}: {}", describe(),
                                to_string(settings), system_message(code)));
    }
}

void SerialPort::put_PortOpen(bool open) {
    if (!open) {
        close_port();
        return;
    }
    if (get_PortOpen()) {
        throw Error(
            ErrorKind::InvalidArgument,
            fmt::format("{} is open already: close it before opening it again", describe()));
    }
    if (port_ < 1) {
        throw Error(
            ErrorKind::InvalidPortNumber,
            fmt::format("port number {} is invalid: port numbers start at 1 (COM1)", port_));
    }
    // The device namespace form reaches COM10 and above as well.
    const std::string path = fmt::format("\\\\.\\COM{}", port_);
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
                                        describe()));
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                // Serial ports are opened exclusively: "access denied" means
                // another program has it.
                throw Error(ErrorKind::PortBusy,
                            fmt::format("{} is in use by another program: close that program "
                                        "or choose another port",
                                        describe()));
            default:
                throw Error(ErrorKind::IoError, fmt::format("{}: cannot open the port: {}",
                                                            describe(), system_message(code)));
        }
    }
    handle_ = handle;
    try {
        if (!SetupComm(handle_, kReceiveBuffer, kTransmitBuffer)) {
            // The driver keeps its own buffers; that is no reason to fail.
            SetLastError(ERROR_SUCCESS);
        }
        apply(settings_);
        // Reads return at once with whatever has arrived; writes give up
        // after the write timeout.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = write_timeout_ms_;
        if (!SetCommTimeouts(handle_, &timeouts)) {
            const DWORD code = GetLastError();
            throw Error(ErrorKind::IoError, fmt::format("{}: cannot set the time-outs: {}",
                                                        describe(), system_message(code)));
        }
        (void)PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    } catch (...) {
        close_port();
        throw;
    }
}

void SerialPort::close_port() noexcept {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return;
    }
    (void)CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

void SerialPort::require_open(std::string_view property) const {
    if (!get_PortOpen()) {
        throw Error(
            ErrorKind::PortNotOpen,
            fmt::format("{} is closed: open the port before using {}", describe(), property));
    }
}

int SerialPort::get_InBufferCount() {
    require_open("InBufferCount");
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) {
        const DWORD code = GetLastError();
        throw Error(is_gone(code) ? ErrorKind::LineDropped : ErrorKind::IoError,
                    fmt::format("{}: cannot count the received characters: {}", describe(),
                                system_message(code)));
    }
    constexpr DWORD kMax = static_cast<DWORD>(std::numeric_limits<int>::max());
    return static_cast<int>(status.cbInQue > kMax ? kMax : status.cbInQue);
}

void SerialPort::put_InBufferCount(int count) {
    require_open("InBufferCount");
    if (count != 0) {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("{}: InBufferCount can only be set to 0, which discards the "
                                "received characters; {} was given",
                                describe(), count));
    }
    if (!PurgeComm(handle_, PURGE_RXCLEAR | PURGE_RXABORT)) {
        const DWORD code = GetLastError();
        throw Error(is_gone(code) ? ErrorKind::LineDropped : ErrorKind::IoError,
                    fmt::format("{}: cannot discard the received characters: {}", describe(),
                                system_message(code)));
    }
}

std::string SerialPort::get_Input() {
    require_open("Input");
    std::string received;
    std::array<char, 4096> chunk{};
    while (true) {
        DWORD got = 0;
        if (!ReadFile(handle_, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
            const DWORD code = GetLastError();
            // What arrived before a failure is handed over; the next call reports it.
            if (!received.empty()) {
                return received;
            }
            throw Error(is_gone(code) ? ErrorKind::LineDropped : ErrorKind::IoError,
                        fmt::format("{}: cannot read: {}", describe(), system_message(code)));
        }
        if (got == 0) {
            return received;
        }
        received.append(chunk.data(), got);
    }
}

void SerialPort::put_Output(std::string_view data) {
    require_open("Output");
    std::size_t sent = 0;
    while (sent < data.size()) {
        const std::size_t left = data.size() - sent;
        const DWORD ask = left > 65536 ? 65536 : static_cast<DWORD>(left);
        DWORD wrote = 0;
        if (!WriteFile(handle_, data.data() + sent, ask, &wrote, nullptr)) {
            const DWORD code = GetLastError();
            throw Error(is_gone(code) ? ErrorKind::LineDropped : ErrorKind::IoError,
                        fmt::format("{}: cannot write ({} of {} characters were sent): {}",
                                    describe(), sent, data.size(), system_message(code)));
        }
        if (wrote == 0) {
            throw Error(ErrorKind::IoError,
                        fmt::format("{}: the line accepts no data: {} of {} characters were "
                                    "sent, then nothing for {} ms; check that nothing holds the "
                                    "line and that the reader is switched on",
                                    describe(), sent, data.size(), write_timeout_ms_));
        }
        sent += wrote;
    }
}

}  // namespace kdr::win32
