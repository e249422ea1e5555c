// How late the control's timed waits end under the Windows platform layer:
// the overshoot past each wait's length (median and 99th percentile) for the
// two lengths the controller uses, 3 ms (each erase step) and 50 ms (the
// reads of the reply window), busy (Clock::sleep_until) and yielding
// (HostServices::idle_until between turns of the message loop), on the
// high-resolution timer and on an ordinary one with the timer resolution
// raised as the control raises it for an operation; and, given
// the number of a COM port whose reader never answers, how long the
// control's OpenKDR takes there (its reply window is five reads 50 ms apart);
// given as well a port whose reader answers and its password, how the COM
// port's reads wait for a deadline.
//
//   kdr_waits_test [SILENT-PORT [ANSWERING-PORT PASSWORD]]
//
// The control is loaded from KDRCtrl.ocx beside the program, unregistered.
#include "engine/waits.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "KDRCtrl_h.h"
#include "dispatch_client.hpp"
#include "kdr/port_factory.hpp"
#include "kdr/protocol.hpp"
#include "kdr/win32_platform.hpp"

namespace {

using namespace std::chrono_literals;
using namespace kdr::wintest;

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    const auto at =
        static_cast<std::size_t>(std::lround(share * static_cast<double>(values.size() - 1)));
    return values[at];
}

struct Figures {
    double earliest_ms;
    double median_ms;
    double p99_ms;
};

template <typename Wait>
Figures measure(kdr::Clock& clock, kdr::Clock::Duration length, int samples, Wait wait) {
    std::vector<double> late_ms;
    late_ms.reserve(static_cast<std::size_t>(samples));
    for (int i = 0; i < samples; ++i) {
        const auto start = clock.now();
        wait(start, length);
        const auto late = clock.now() - (start + length);
        late_ms.push_back(std::chrono::duration<double, std::milli>(late).count());
    }
    return {percentile(late_ms, 0.0), percentile(late_ms, 0.5), percentile(late_ms, 0.99)};
}

/// The control from KDRCtrl.ocx beside the program, through its class
/// factory: the timing needs no registration.
IDispatch* load_control() {
    HMODULE module = LoadLibraryW(L"KDRCtrl.ocx");
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto get_class_object = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(
        module != nullptr ? GetProcAddress(module, "DllGetClassObject") : nullptr));
    IClassFactory* factory = nullptr;
    IDispatch* control = nullptr;
    if (get_class_object != nullptr &&
        SUCCEEDED(get_class_object(CLSID_KDRController, IID_IClassFactory,
                                   reinterpret_cast<void**>(&factory)))) {
        factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control));
        factory->Release();
    }
    return control;
}

/// OpenKDR against a reader that never answers: False after the reply window.
void time_open(Tally& t, short port) {
    IDispatch* control = load_control();
    if (!t.check(control != nullptr, "the control from KDRCtrl.ocx")) {
        return;
    }
    kdr::Clock::Duration longest{};
    std::vector<double> lengths_ms;
    bool all_false = true;
    for (int run = 0; run < 5; ++run) {
        kdr::win32::Clock clock;
        Var port_variable;
        *port_variable.get() = i2_arg(port);
        Var result;
        const auto start = clock.now();
        call(control, L"OpenKDR", DISPATCH_METHOD,
             {bstr_arg(L"4711"), ref_arg(port_variable.get())}, result.get());
        const auto length = clock.now() - start;
        longest = std::max(longest, length);
        lengths_ms.push_back(std::chrono::duration<double, std::milli>(length).count());
        all_false = all_false && V_VT(&*result) == VT_BOOL && V_BOOL(&*result) == VARIANT_FALSE;
    }
    control->Release();
    const double median = percentile(lengths_ms, 0.5);
    std::printf("OpenKDR against a silent reader: median %.1f ms, longest %.1f ms\n", median,
                std::chrono::duration<double, std::milli>(longest).count());
    // Five reads 50 ms apart: 250 ms; on the system's default tick it would
    // take about 310 ms.
    t.check(all_false && median >= 250.0 && median < 280.0,
            "OpenKDR with a silent reader gives False after its 250 ms window",
            std::to_string(median) + " ms");
}

double thread_cpu_ms() {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto ticks = [](FILETIME t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32U) |
                                   t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 10'000.0;  // 100 ns ticks
}

/// The COM port's reads: a past deadline never waits, a later one waits for
/// it on a silent line without using the processor, and ends as soon as a
/// reply arrives on an answering one.
void time_port_reads(Tally& t, short silent, short answering, const std::string& password) {
    using kdr::win32::monotonic_now;
    std::string padded = password;
    static_cast<void>(kdr::protocol::pad_password(padded));
    const struct {
        const char* name;
        short port;
        kdr::Clock::Duration wait;
        bool request;
        double least_ms;
        double most_ms;
    } cases[] = {
        {"a past deadline on a silent line returns at once", silent, -1ms, false, 0.0, 10.0},
        {"a deadline 300 ms away on a silent line", silent, 300ms, false, 300.0, 340.0},
        {"a reply ends a 2 s wait", answering, 2s, true, 0.0, 500.0},
    };
    for (const auto& c : cases) {
        try {
            const auto port = kdr::make_numbered_port(c.port);
            port->open(kdr::parse_line_settings(kdr::protocol::kLineSettings));
            if (c.request) {
                port->write(kdr::protocol::build_frame("P" + padded));
            }
            std::string got;
            const double cpu_before = thread_cpu_ms();
            const auto start = monotonic_now();
            const std::size_t count = port->read(got, start + c.wait);
            const double ms =
                std::chrono::duration<double, std::milli>(monotonic_now() - start).count();
            const double cpu_ms = thread_cpu_ms() - cpu_before;
            std::printf("port read, %s: %zu bytes after %.1f ms, %.1f ms of processor time\n",
                        c.name, count, ms, cpu_ms);
            t.check(count == got.size() && (count != 0) == c.request && ms >= c.least_ms &&
                        ms < c.most_ms && cpu_ms < 30.0,
                    std::string("COM port read: ") + c.name,
                    std::to_string(count) + " bytes, " + std::to_string(ms) + " ms, " +
                        std::to_string(cpu_ms) + " ms of processor time");
        } catch (const kdr::Error& e) {
            t.check(false, std::string("COM port read: ") + c.name, e.what());
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (FAILED(OleInitialize(nullptr))) {
        return 2;
    }
    Tally t;
    using kdr::win32::WaitPrecision;
    const struct {
        const char* name;
        WaitPrecision precision;
    } timers[] = {{"high-resolution timer", WaitPrecision::automatic},
                  {"timer at 1 ms resolution", WaitPrecision::raised_resolution}};
    const struct {
        const char* name;
        kdr::Clock::Duration length;
        int samples;
    } lengths[] = {{"3 ms", 3ms, 200}, {"50 ms", 50ms, 20}};
    for (const auto& timer : timers) {
        kdr::win32::Clock clock(timer.precision);
        kdr::win32::HostServices host({}, timer.precision);
        // As the control does for the length of an operation.
        const kdr::win32::TimerResolution resolution(clock.needs_raised_resolution());
        for (const auto& length : lengths) {
            const Figures busy = measure(clock, length.length, length.samples,
                                         [&](kdr::Clock::Instant start, kdr::Clock::Duration d) {
                                             kdr::engine::busy_wait(clock, start, d);
                                         });
            const Figures yielding =
                measure(clock, length.length, length.samples,
                        [&](kdr::Clock::Instant start, kdr::Clock::Duration d) {
                            kdr::engine::yielding_wait(clock, host, start, d);
                        });
            for (const auto& [kind, figures] :
                 {std::pair{"busy", busy}, std::pair{"yielding", yielding}}) {
                const std::string name =
                    std::string(kind) + " wait of " + length.name + ", " + timer.name;
                std::printf("overshoot %s: median %.3f ms, p99 %.3f ms\n", name.c_str(),
                            figures.median_ms, figures.p99_ms);
                // The median tells a wait that ends on time from one that ends on the
                // system's tick; single late waits on a busy machine (the p99) are
                // reported, not judged.
                t.check(figures.earliest_ms >= 0.0 && figures.median_ms < 2.0,
                        name + " never early, within 2 ms of its length at the median");
            }
        }
    }
    if (argc >= 2) {
        time_open(t, static_cast<short>(_wtoi(argv[1])));
    }
    if (argc == 4) {
        time_port_reads(t, static_cast<short>(_wtoi(argv[1])), static_cast<short>(_wtoi(argv[2])),
                        narrow(argv[3]));
    }
    const int rc = t.finish("waits");
    OleUninitialize();
    return rc;
}
