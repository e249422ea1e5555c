"""kdr.Reader against simulated readers: the results' Python types, the
progress callback, the GIL and Ctrl-C."""

import datetime
import os
import signal
import threading
import time

import pytest

import kdr


def test_download_gives_plain_python_values_that_outlive_the_reader(simulator, password):
    texts = [b"ITEM 1 QTY 2", "caf\u00e9 \u20ac5".encode("cp1252"), b"SHELF?3", b"\x81 free code"]
    reader_sim = simulator(records=texts)
    with kdr.Reader(reader_sim.port, password) as reader:
        download = reader.download()
    del reader
    reader_sim.close()

    assert (download.machine_id, download.announced, download.complete) == ("KDR00001", 4, True)
    assert download.why_incomplete == ""
    assert [record.text for record in download.records] == texts
    first, second, _, free_code = download.records
    assert isinstance(first, kdr.Record) and isinstance(first.text, bytes)
    assert second.decoded() == "caf\u00e9 \u20ac5"
    assert second.decoded("latin-1") == "caf\u00e9 \x805"
    assert free_code.decoded() == "\x81 free code"  # where bytes.decode("cp1252") fails
    with pytest.raises(UnicodeDecodeError):
        free_code.decoded("utf-8")
    assert first.lead == b"A"
    # Texts are taken one a minute up to a minute ago, in the reader's local time.
    now = datetime.datetime.now()
    for age, record in zip((4, 3, 2, 1), download.records):
        assert record.time.tzinfo is None
        assert abs(record.time - (now - datetime.timedelta(minutes=age))).total_seconds() < 90
        fields = (record.time.year - 2000, record.time.month, record.time.day,
                  record.time.hour, record.time.minute, record.time.second)
        assert tuple(code - 16 for code in record.stamp) == fields
    assert download.records == list(download.records)
    assert first != second and first != "ITEM 1 QTY 2"


def test_a_damaged_stamp_has_no_time(simulator, password):
    reader_sim = simulator(records=12, faults=["garble:D"])
    with kdr.Reader(reader_sim.port, password) as reader:
        download = reader.download(allow_incomplete=True)
    assert not download.complete
    undated = [record for record in download.records if record.time is None]
    assert undated and all(len(record.stamp) == 6 for record in undated)


@pytest.mark.parametrize("faults, confirmed", [([], True), (["mute"], False)])
def test_erase_says_whether_the_reader_confirmed(simulator, password, faults, confirmed):
    reader_sim = simulator(records=3, faults=faults)
    with kdr.Reader(reader_sim.port, password) as reader:
        clock = reader.sync_clock()
        assert reader.erase() is confirmed
        assert reader.download().records == []
    assert abs((clock - datetime.datetime.now()).total_seconds()) < 5
    assert reader_sim.records == []


def test_a_closed_reader_refuses_calls_and_frees_its_port(simulator, password):
    reader_sim = simulator(records=2)
    reader = kdr.Reader(reader_sim.port, password)
    with pytest.raises(kdr.PortBusy):
        kdr.Reader(reader_sim.port, password)
    with reader:
        pass
    assert reader.closed
    with pytest.raises(kdr.Error, match="closed"):
        reader.download()
    reader.close()
    with kdr.Reader(reader_sim.port, password) as again:
        assert len(again.download().records) == 2


def test_progress_comes_in_the_calling_thread_while_other_threads_run(simulator, password):
    # At the line's rate the 40 records take about 0.5 s.
    reader_sim = simulator(records=40, fast=False)
    seen = []
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    ticker = threading.Thread(target=tick)
    with kdr.Reader(reader_sim.port, password,
                    on_progress=lambda p: seen.append((threading.get_ident(), p))) as reader:
        ticker.start()
        began = time.monotonic()
        download = reader.download()
        ended = time.monotonic()
    stop.set()
    ticker.join()

    assert {ident for ident, _ in seen} == {threading.get_ident()}
    progress = [p for _, p in seen]
    assert all(isinstance(p, kdr.Progress) for p in progress)
    assert [p.records for p in progress] == sorted(p.records for p in progress)
    assert (progress[-1].records, progress[-1].announced) == (40, 40)
    assert len(download.records) == 40
    # The other thread ran all along: the download held no GIL while it waited.
    during = [t for t in ticks if began <= t <= ended]
    gaps = [b - a for a, b in zip(during, during[1:])]
    assert len(during) > 20 and max(gaps) < 0.1


def test_an_exception_from_on_progress_ends_the_download_and_closes_the_reader(
        simulator, password):
    reader_sim = simulator(records=40, fast=False)

    def refuse(progress):
        raise LookupError(f"stop at {progress.records}")

    reader = kdr.Reader(reader_sim.port, password, on_progress=refuse)
    with pytest.raises(LookupError, match="stop at"):
        reader.download()
    assert reader.closed
    with kdr.Reader(reader_sim.port, password) as again:
        assert again.download().complete


def test_ctrl_c_ends_a_download_within_a_tenth_of_a_second(simulator, password):
    # 200 records at the line's rate take about 2.5 s: the signal comes
    # while the Reader waits for more.
    reader_sim = simulator(records=200, fast=False)
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    def on_progress(_):
        if not sent:
            sent.append(None)
            threading.Timer(0.4, interrupt).start()

    reader = kdr.Reader(reader_sim.port, password, on_progress=on_progress)
    with pytest.raises(KeyboardInterrupt):
        reader.download()
    assert time.monotonic() - sent[1] < 0.1
    assert reader.closed
    with kdr.Reader(reader_sim.port, password) as again:
        assert len(again.download().records) == 200
