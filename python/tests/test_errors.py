"""Failures as kdr.Error subclasses, each with the kdr command's sentence."""

import subprocess

import pytest

import kdr

# (simulator faults, password, what is called, the exception, its bases)
CASES = {
    "wrong password": ([], "wrong", "connect", kdr.PasswordRefused, (kdr.Refused,)),
    "no answer": (["silent:P"], None, "connect", kdr.NoAnswer, ()),
    "clock refused": (["refuse:T"], None, "sync_clock", kdr.Refused, ()),
    "erase refused": (["refuse:E"], None, "erase", kdr.Refused, ()),
    "no header": (["short:D"], None, "download", kdr.BadAnswer, ()),
    "incomplete": (["merge"], None, "download", kdr.Incomplete, ()),
    "line dropped": (["drop:D"], None, "download", kdr.LineDropped, (kdr.PortError,)),
}
COMMANDS = {"connect": "download", "download": "download", "sync_clock": "sync-time",
            "erase": "erase"}


@pytest.mark.parametrize("case", CASES)
def test_each_failure_raises_its_kind_with_the_commands_sentence(
        simulator, password, kdr_command, case):
    faults, given, call, kind, bases = CASES[case]
    given = password if given is None else given
    reader_sim = simulator(records=12, faults=faults)
    with pytest.raises(kind) as raised:
        with kdr.Reader(reader_sim.port, given) as reader:
            if call != "connect":
                getattr(reader, call)()
    error = raised.value
    assert isinstance(error, kdr.Error) and all(isinstance(error, b) for b in bases)
    assert type(error) is kind and error.kind
    if kind is kdr.Incomplete:
        assert not error.download.complete and len(error.download.records) == 11
    if kind is kdr.LineDropped:
        return  # the simulator's line is another device once dropped
    command = subprocess.run(
        [kdr_command, COMMANDS[call], "--port", reader_sim.port, "--password", given, "--yes"]
        if call == "erase" else
        [kdr_command, COMMANDS[call], "--port", reader_sim.port, "--password", given],
        capture_output=True, text=True, timeout=30, check=False)
    assert command.returncode == 1
    assert f"kdr: {error}" in command.stderr.splitlines()


def test_port_and_argument_failures(simulator, password, kdr_command):
    reader_sim = simulator(records=1)
    with kdr.Reader(reader_sim.port, password):
        with pytest.raises(kdr.PortBusy) as busy:
            kdr.Reader(reader_sim.port, password)
        command = subprocess.run([kdr_command, "download", "--port", reader_sim.port],
                                 capture_output=True, text=True, timeout=30, check=False)
        assert f"kdr: {busy.value}" in command.stderr.splitlines()
    with pytest.raises(kdr.PortMissing, match="/dev/kdr-no-such-device"):
        kdr.Reader("/dev/kdr-no-such-device")
    with pytest.raises(kdr.PortError, match="0 names no serial port"):
        kdr.Reader(0)
    with pytest.raises(kdr.InvalidArgument, match="latency"):
        kdr.Reader(reader_sim.port, password, latency=-1)
    with pytest.raises(ValueError, match="bogus"):
        kdr.Simulator(faults=["bogus"])
    with pytest.raises(ValueError, match="list of texts"):
        kdr.Simulator(records="one text")
