"""kdr.Simulator refuses what no reader holds, at once, and stores its ID in
the code page a download decodes."""

import time

import pytest

import kdr


@pytest.mark.parametrize("records", [
    100_000, 100_000_000, 10**9, 10**30, -1,
    ("X" for _ in range(100_000)),  # texts: as many
])
def test_more_records_than_a_reader_holds_are_refused_at_once(records):
    start = time.monotonic()
    with pytest.raises(ValueError, match="99999"):
        kdr.Simulator(records=records, fast=True)
    assert time.monotonic() - start < 2


@pytest.mark.parametrize("machine_id", ["K\u00e9R", "ABCDEFG\u00e9", b"\xc9T\xc9"])
def test_the_machine_id_arrives_as_given(simulator, password, machine_id):
    reader_sim = simulator(records=["Gr\u00f6\u00dfe"], machine_id=machine_id)
    with kdr.Reader(reader_sim.port, password) as reader:
        download = reader.download()
    expected = machine_id.decode("cp1252") if isinstance(machine_id, bytes) else machine_id
    assert download.complete and download.machine_id.rstrip() == expected
    assert download.records[0].decoded() == "Gr\u00f6\u00dfe"


@pytest.mark.parametrize("machine_id, message", [
    ("ABCDEFGH\u00e9", "9 characters"),
    ("K\u0142", "can't encode"),  # Python's own UnicodeEncodeError, a ValueError
])
def test_an_id_no_reader_holds_is_refused(machine_id, message):
    with pytest.raises(ValueError, match=message):
        kdr.Simulator(records=0, machine_id=machine_id, fast=True)
