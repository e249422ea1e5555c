// The Python module kdr: the engine that the kdr command and the C++ library
// use, with Python's types.
#include "binding.hpp"

PYBIND11_MODULE(kdr, module) {
    using namespace kdr::python;
    module.doc() = R"(The KDR portable data reader over RS-232, for Python programs.

    import kdr

    with kdr.Reader("/dev/ttyUSB0", "1234") as reader:
        download = reader.download()      # kdr.Incomplete unless all arrived
        for record in download.records:
            print(record.time, record.decoded())
        reader.erase()

kdr.Reader opens a password-checked connection; download(), sync_clock()
and erase() are its exchanges. kdr.collect stores a download as the kdr
collect command does; kdr.Simulator plays a reader on a pseudo-terminal for
tests. Failures raise kdr.Error and its subclasses.)";
    define_errors(module);
    define_reader(module);
    define_collect(module);
    define_station(module);
    define_simulator(module);
}
