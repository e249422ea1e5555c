// End to end against the reader simulator: COM1 is the simulator's
// pseudo-terminal, COM2 a simulator that never answers, COM3 one that pauses
// halfway through its download answer, COM4 one that refuses to erase, COM5
// one whose line drops after the erase request, COM6 one whose clock reads
// back out of range (all mapped through Wine's port table). The results are compared with what the Linux command
// downloads from the same simulators.
//
//   kdr_e2e_test PASSWORD EXPECTED-DOWNLOAD EXPECTED-AFTER-ERASE
//
// The two files hold the controller's result text (machine ID and dates on)
// as the Linux build wrote it.
#include <string>

#include "KDRCtrl_h.h"
#include "dispatch_client.hpp"

namespace {

using namespace kdr::wintest;

constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kCall = DISPATCH_METHOD;
constexpr char kCommunicationsFailed[] =
    "Communications failed to establish.   \r\n"
    "Check physical connections and  \r\n"
    "make sure reader is powered up.";

std::string read_file(const wchar_t* path) {
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string data;
    if (file == INVALID_HANDLE_VALUE) {
        return data;
    }
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        data.append(chunk, got);
    }
    CloseHandle(file);
    return data;
}

/// The 8-bit text a BSTR result carries (the control converts through the
/// system's code page, one byte a character).
std::string bytes_of(const VARIANT& value) {
    if (V_VT(&value) != VT_BSTR) {
        return "<vt " + std::to_string(V_VT(&value)) + ">";
    }
    const UINT length = SysStringLen(V_BSTR(&value));
    std::string bytes(length, '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, 0, V_BSTR(&value), static_cast<int>(length), bytes.data(),
                            static_cast<int>(length), nullptr, nullptr);
    }
    return bytes;
}

bool opened(IDispatch* control) {
    Var value;
    call(control, L"Opened", kGet, {}, value.get());
    return V_VT(&*value) == VT_BOOL && V_BOOL(&*value) == VARIANT_TRUE;
}

VARIANT_BOOL open_kdr(IDispatch* control, const wchar_t* password, short port) {
    Var port_variable;
    *port_variable.get() = i2_arg(port);
    Var result;
    call(control, L"OpenKDR", kCall, {bstr_arg(password), ref_arg(port_variable.get())},
         result.get());
    return V_VT(&*result) == VT_BOOL ? V_BOOL(&*result) : VARIANT_FALSE;
}

std::string first_difference(const std::string& got, const std::string& want) {
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) {
        ++i;
    }
    return "lengths " + std::to_string(got.size()) + "/" + std::to_string(want.size()) +
           ", first difference at " + std::to_string(i);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 || FAILED(OleInitialize(nullptr))) {
        std::printf("usage: kdr_e2e_test PASSWORD EXPECTED-DOWNLOAD EXPECTED-AFTER-ERASE\n");
        return 2;
    }
    const wchar_t* password = argv[1];
    const std::string expected = read_file(argv[2]);
    const std::string expected_empty = read_file(argv[3]);
    Tally t;
    t.check(!expected.empty() && !expected_empty.empty(), "expected texts from the Linux build");
    CLSID clsid{};
    IDispatch* control = nullptr;
    CLSIDFromProgID(L"KDRCtrl.KDRController", &clsid);
    if (!t.check(SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                            reinterpret_cast<void**>(&control))),
                 "create KDRCtrl.KDRController")) {
        return t.finish("e2e");
    }
    MessageBoxWatcher boxes;

    // A refused password: False, not connected, nothing shown.
    const ULONGLONG refused_start = GetTickCount64();
    t.check(
        open_kdr(control, L"wrong", 1) == VARIANT_FALSE && !opened(control) && boxes.take().empty(),
        "OpenKDR with a wrong password: False, no message");
    const ULONGLONG refused_ms = GetTickCount64() - refused_start;
    t.check(refused_ms >= 240 && refused_ms < 2000,
            "the password exchange keeps its window of five reads",
            std::to_string(refused_ms) + " ms");

    t.check(open_kdr(control, password, 1) == VARIANT_TRUE && opened(control),
            "OpenKDR on COM1: True, Opened");

    call(control, L"ShowMachineID", kPut, {bool_arg(true)}, nullptr);
    call(control, L"ShowRTC", kPut, {bool_arg(true)}, nullptr);
    Var records;
    const Outcome download = call(control, L"DownloadData", kCall, {}, records.get());
    const std::string got = bytes_of(*records);
    t.check(SUCCEEDED(download.hr) && got == expected,
            "DownloadData gives the text the Linux build gives", first_difference(got, expected));
    t.check(boxes.take().empty(), "no message during the download");

    Var synced;
    call(control, L"SyncUpHostTime", kCall, {}, synced.get());
    t.check(V_VT(&*synced) == VT_BOOL && V_BOOL(&*synced) == VARIANT_TRUE && boxes.take().empty(),
            "SyncUpHostTime: True, no message");

    Var erased;
    const Outcome erase = call(control, L"EraseData", kCall, {}, erased.get());
    t.check(SUCCEEDED(erase.hr) && V_VT(&*erased) == VT_EMPTY && boxes.take().empty(),
            "EraseData: Empty, no message");
    Var empty;
    call(control, L"DownloadData", kCall, {}, empty.get());
    t.check(bytes_of(*empty) == expected_empty, "after the erase the reader holds no record",
            first_difference(bytes_of(*empty), expected_empty));

    // COM3 pauses halfway through its answer: the download returns what
    // arrived and says, under its title, that it is not the reader's memory.
    t.check(open_kdr(control, password, 3) == VARIANT_TRUE, "OpenKDR on COM3");
    Var cut;
    call(control, L"DownloadData", kCall, {}, cut.get());
    std::vector<SeenBox> shown = boxes.take();
    t.check(!bytes_of(*cut).empty() && shown.size() == 1 &&
                shown[0].title == "Download Data From KDR" &&
                shown[0].text.rfind("Only ", 0) == 0 &&
                shown[0].text.find(" arrived complete.\r\n") != std::string::npos &&
                shown[0].text.find("\r\nDownload again before erasing the reader.") !=
                    std::string::npos,
            "DownloadData cut short: what arrived, and the message that says so",
            shown.empty() ? "no box" : "\"" + shown[0].title + "\": \"" + shown[0].text + "\"");

    // COM4 refuses to erase: still the empty result, and the message.
    t.check(open_kdr(control, password, 4) == VARIANT_TRUE, "OpenKDR on COM4");
    Var refused;
    call(control, L"EraseData", kCall, {}, refused.get());
    shown = boxes.take();
    t.check(V_VT(&*refused) == VT_EMPTY && shown.size() == 1 &&
                shown[0].title == "Erase Data From KDR" &&
                shown[0].text ==
                    "The reader refused to erase its records.\r\nThey are still in the reader.",
            "EraseData refused by the reader: Empty, and the message that says so",
            shown.empty() ? "no box" : "\"" + shown[0].title + "\": \"" + shown[0].text + "\"");

    // COM5's line drops right after the erase request: reads then bring
    // nothing and no error, but the erase fails all the same.
    t.check(open_kdr(control, password, 5) == VARIANT_TRUE, "OpenKDR on COM5");
    Var dropped;
    const Outcome drop = call(control, L"EraseData", kCall, {}, dropped.get());
    static_cast<void>(boxes.take());
    t.check(drop.hr == DISP_E_EXCEPTION && drop.scode == static_cast<HRESULT>(0x800A0039),
            "EraseData on a line that drops: 57 Device I/O error",
            "hr " + std::to_string(drop.hr) + ", scode " + std::to_string(drop.scode) + ": " +
                drop.description);

    // COM6 reads its clock back as the next minute with the second below
    // zero: the same moment, but no clock a reader keeps.
    t.check(open_kdr(control, password, 6) == VARIANT_TRUE, "OpenKDR on COM6");
    Var borrowed;
    call(control, L"SyncUpHostTime", kCall, {}, borrowed.get());
    t.check(V_VT(&*borrowed) == VT_BOOL && V_BOOL(&*borrowed) == VARIANT_FALSE &&
                boxes.take().empty(),
            "SyncUpHostTime with a read-back out of range: False, no message");

    // COM2 never answers: the connection stays, the port number changes, and
    // the next operation shows the three-line message.
    t.check(open_kdr(control, password, 2) == VARIANT_FALSE && opened(control),
            "OpenKDR on a silent COM2: False, still Opened");
    const struct {
        const wchar_t* method;
        const char* title;
    } failing[] = {{L"DownloadData", "Download Data From KDR"},
                   {L"EraseData", "Erase Data From KDR"}};
    for (const auto& operation : failing) {
        Var value;
        call(control, operation.method, kCall, {}, value.get());
        const std::vector<SeenBox> seen = boxes.take();
        t.check(seen.size() == 1 && seen[0].text == kCommunicationsFailed &&
                    seen[0].title == operation.title,
                narrow(operation.method) + " with a silent reader: the communications message",
                seen.empty() ? "no box" : "\"" + seen[0].title + "\": \"" + seen[0].text + "\"");
    }

    Var closed;
    call(control, L"CloseKDR", kCall, {}, closed.get());
    t.check(V_VT(&*closed) == VT_EMPTY && !opened(control), "CloseKDR: Empty, not Opened");
    Var after;
    call(control, L"DownloadData", kCall, {}, after.get());
    const std::vector<SeenBox> seen = boxes.take();
    t.check(bytes_of(*after).empty() && seen.size() == 1 &&
                seen[0].text == "Device did not open.   " &&
                seen[0].title == "Download Data From KDR",
            "DownloadData after CloseKDR: \"Device did not open.   \"");
    control->Release();
    const int rc = t.finish("e2e");
    OleUninitialize();
    return rc;
}
