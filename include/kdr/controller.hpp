// KDRController: the control that works with a KDR portable data reader over
// RS-232. A host creates one, opens a password-checked connection with
// OpenKDR, and then sets the reader's clock (SyncUpHostTime), downloads its
// records (DownloadData) and erases them (EraseData).
//
// The controller hosts two components, the serial port `MSComm1` (over the
// platform's byte ports, kdr/serial_component.hpp) and the progress bar
// `ProgressBar1`, and reaches the host through HostServices and a Clock
// (include/kdr/platform.hpp). It keeps the reader's fixed timing
// (engine::FixedTiming). It runs entirely on the caller's thread;
// every method returns only when its exchange with the reader has ended.
//
// Results follow the control's automation interface: booleans are 16-bit
// (0 false, -1 true), failures the user must see are shown through the host's
// message box and the method returns its failure value. Beyond that,
// LastFailure() tells a caller why the last call did not succeed.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kdr/engine.hpp"
#include "kdr/error.hpp"
#include "kdr/platform.hpp"
#include "kdr/serial_component.hpp"
#include "kdr/timing.hpp"
#include "kdr/variant.hpp"

namespace kdr {

/// The message the reader operations show when no connection is open.
inline constexpr std::string_view kDeviceDidNotOpen = "Device did not open.   ";
/// The message shown when the reader cannot be reached or refuses the password.
inline constexpr std::string_view kCommunicationsFailed =
    "Communications failed to establish.   \r\n"
    "Check physical connections and  \r\n"
    "make sure reader is powered up.";
inline constexpr std::string_view kDownloadTitle = "Download Data From KDR";
inline constexpr std::string_view kEraseTitle = "Erase Data From KDR";
inline constexpr std::string_view kSyncTitle = "Sync Up With Host Time";

/// The control's design size in twips (288 by 53 pixels at 15 twips a pixel).
inline constexpr float kDesignWidthTwips = 4320.0F;
inline constexpr float kDesignHeightTwips = 795.0F;

class KDRController {
  public:
    /// Creates the control: CommPort 1, no connection, both display switches
    /// off, and the progress bar set full (Max 100, Value 100).
    /// `open_port` makes the byte port of a port number for MSComm1
    /// (make_numbered_port in kdr/port_factory.hpp on a real host).
    KDRController(PortOpener open_port, std::unique_ptr<ProgressBar> progress, HostServices& host,
                  Clock& clock);
    ~KDRController();
    KDRController(const KDRController&) = delete;
    KDRController& operator=(const KDRController&) = delete;

    // ---- Properties ----------------------------------------------------

    /// The port number the next exchange uses; set by each OpenKDR.
    [[nodiscard]] std::int16_t get_CommPort() const noexcept { return CommPort; }
    /// Late-bound write of the port number (a design environment's property
    /// page assigns text): stored as a 16-bit integer until the next OpenKDR.
    /// Throws TypeMismatch for a text that holds no number, Overflow for one
    /// out of range, InvalidUseOfNull for a null.
    void put_CommPort(const Variant& value);
    /// True (-1) while a connection opened by OpenKDR is held.
    [[nodiscard]] VariantBool get_Opened() const { return Opened.to_variant_bool(); }
    /// When true, DownloadData's text begins with the reader's machine ID.
    [[nodiscard]] VariantBool get_ShowMachineID() const noexcept { return ShowMachineID; }
    void put_ShowMachineID(VariantBool vMachineID) noexcept { ShowMachineID = vMachineID; }
    /// When true, DownloadData puts each record's date and time before its text.
    [[nodiscard]] VariantBool get_ShowRTC() const { return ShowRTC.to_variant_bool(); }
    void put_ShowRTC(VariantBool vRTC) { ShowRTC = Variant::boolean(vRTC != kVariantFalse); }

    // ---- Connection ------------------------------------------------------

    /// Opens a connection: sends the password (padded to eight characters) on
    /// port vPort and returns true (-1) only when the reader acknowledges it.
    /// vPassword is converted to text and vPort to a 16-bit integer; a
    /// conversion failure throws kdr::Error. Shows no message. A silent reader
    /// or a port that cannot be opened leaves the connection state as it was;
    /// a refusal, or a failure once the port is open, clears it.
    VariantBool OpenKDR(const Variant& vPassword, Variant& vPort);
    /// Closes the port if open and forgets the connection. Always empty.
    /// Throws kdr::Error when the port cannot be closed.
    Variant CloseKDR();
    /// Pads NewPwd with spaces to at least eight characters (an empty one
    /// becomes eight spaces) and sets CheckSum to the sum of its character
    /// codes modulo 128 (256 for the empty password). Any length is accepted.
    void PwdSum(std::string& NewPwd, std::int32_t& CheckSum);

    // ---- Reader operations -----------------------------------------------

    /// Sets the reader's clock to the host's local time and checks it by
    /// reading it back. True only when the reader acknowledged the new time and
    /// its clock, read back, lies between the time sent and that time plus the
    /// time since sending plus 2 s (ClockMismatch otherwise).
    VariantBool SyncUpHostTime();
    /// Downloads every stored record and returns them decoded as one text
    /// (CR LF line ends); the empty text on failure, after a message. When
    /// fewer records arrived complete than the reader announced, or the answer
    /// ends inside a record, the text holds what arrived, a message under the
    /// download's title says so, and LastFailure() is Incomplete with both
    /// counts; an answer without the reader's header gives NoAnswer (nothing
    /// came) or BadAnswer, without a message.
    std::string DownloadData();
    /// Tells the reader to erase its records. Always returns an empty variant.
    /// A reader that refuses shows a message under the erase's title and
    /// leaves LastFailure() Refused.
    Variant EraseData();

    /// Completes and checks the date field number i (1 year, 2 month, 3 day)
    /// of a time stamp being built in TimeStr; an out-of-range field turns
    /// TimeStr into "2000/01/01 00:00:00" and skips the rest of the stamp in
    /// ReceiveStr. Throws InvalidArgument when ReceiveStr is too short to skip.
    void SetDeaultYMDtime(std::int32_t& i, std::string& TempTimeStr, std::string& TimeStr,
                          std::string& ReceiveStr);
    /// The same for the time fields (1 hour, 2 minute, 3 second).
    void SetDeaultHMStime(std::int32_t& i, std::string& TempTimeStr, std::string& TimeStr,
                          std::string& ReceiveStr);

    // ---- Hosting -----------------------------------------------------------

    /// The host changed the control's inner size (twips): the progress bar
    /// is laid over the whole control.
    void Resize(float inner_width, float inner_height);

    /// Why the last call of OpenKDR, CloseKDR, SyncUpHostTime, DownloadData or
    /// EraseData did not succeed; kind None after a success. Failures the user
    /// also sees in a message box, and errors that are thrown, are kept here too.
    [[nodiscard]] const Failure& LastFailure() const noexcept { return last_failure_; }

  private:
    class OperationScope;
    friend class OperationScope;

    // The progress bar as the engine's progress shows on it.
    class BarProgress final : public engine::ProgressObserver {
      public:
        explicit BarProgress(KDRController& owner) : owner_(owner) {}
        void on_progress(const engine::ProgressEvent& event) override;

      private:
        KDRController& owner_;
    };
    // The port is opened for each exchange and closed after it.
    class PortAccess final : public engine::PortHold {
      public:
        explicit PortAccess(KDRController& owner) : owner_(owner) {}
        // A port that fails to open shows at its first use.
        void acquire() override { owner_.OpenPort(); }
        void release() override { owner_.ClosePort(); }

      private:
        KDRController& owner_;
    };

    // Opens the port with the stored CommPort and the reader's line settings,
    // closing it first when open. Never throws; false when the port did not open.
    bool OpenPort();
    // Closes the port when open. Throws what the serial component throws.
    void ClosePort();
    // The first steps every reader operation begins with: false, after the
    // message, when no connection is open or the reader no longer accepts the
    // stored password.
    bool CheckConnection(std::string_view title, bool full_check);
    void ProgressStep();
    // The steps every reader operation shares: the guard against a nested
    // call, the connection check (a fresh password exchange when full_check),
    // and the serial component's failures remembered and rethrown. `failed`
    // is what the call returns when it cannot go on.
    template <typename Result, typename Exchange>
    Result RunOperation(std::string_view title, bool full_check, Result failed,
                        Exchange&& exchange);
    // The download exchange into the sink `sink_for` makes. False when the
    // download failed (after its message).
    bool RunDownload(const engine::SinkFor& sink_for);

    // Records why the current call failed.
    void fail(ErrorKind kind, std::string description);
    void fail(const std::exception& error);
    // The public OpenKDR without its guard against nested calls, as the reader
    // operations call it.
    VariantBool OpenKDRExchange(const Variant& vPassword, Variant& vPort);

    // State of the control, in the order it is created.
    std::int16_t CommPort = 1;
    std::string ConnectionPassword;
    Variant Opened;
    Variant ShowRTC;
    VariantBool ShowMachineID = kVariantFalse;
    Variant AckReply;
    std::string NakReply;

    // Hosted components.
    std::unique_ptr<SerialComponent> MSComm1;
    std::unique_ptr<ProgressBar> ProgressBar1;

    // The host as the controller's own code sees it: a nested call during a
    // message-loop turn cannot overwrite the running call's failure reason.
    class GuardedHost : public HostServices {
      public:
        GuardedHost(KDRController& owner, HostServices& host) : owner_(owner), host_(host) {}
        void MsgBox(std::string_view text, int style,
                    std::optional<std::string_view> title) override {
            host_.MsgBox(text, style, title);
        }
        void DoEvents() override;
        LocalDateTime Now() override { return host_.Now(); }
        void idle_until(Clock& clock, Clock::Instant deadline) override {
            host_.idle_until(clock, deadline);
        }

      private:
        KDRController& owner_;
        HostServices& host_;
    };

    GuardedHost host_;
    Clock& clock_;
    Failure last_failure_;
    // Why the last OpenPort failed: the reason a later use of the closed port
    // reports, rather than just "port not open".
    std::optional<Failure> port_open_failure_;
    bool operation_running_ = false;

    // The exchanges with the reader.
    BarProgress bar_progress_{*this};
    PortAccess port_access_{*this};
    engine::FixedTiming timing_;
    engine::Engine engine_;
};

}  // namespace kdr
