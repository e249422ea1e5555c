"""kdr.collect into a SQLite store, and the README's example as it stands."""

import os
import re
import sqlite3
import subprocess
import sys

import pytest

import kdr


def test_collect_stores_nothing_twice_and_erases_once_stored(simulator, password, tmp_path):
    reader_sim = simulator(records=5)
    db = str(tmp_path / "records.sqlite")

    first = kdr.collect(reader_sim.port, db, password=password)
    again = kdr.collect(reader_sim.port, db, password=password)
    erased = kdr.collect(reader_sim.port, db, password=password, erase=True)

    assert isinstance(first, kdr.CollectResult)
    got = [(r.outcome, r.succeeded, r.new_records, r.already_stored, r.erase, r.erased)
           for r in (first, again, erased)]
    assert got == [("stored", True, 5, 0, None, False),
                   ("stored", True, 0, 5, None, False),
                   ("stored", True, 0, 5, "verified", True)]
    assert (erased.reader, erased.machine_id, erased.announced) == ("KDR00001", b"KDR00001", 5)
    assert reader_sim.records == []
    with sqlite3.connect(db) as store:
        assert store.execute("SELECT count(*) FROM records").fetchone() == (5,)


def test_collect_reports_what_the_command_reports(simulator, password, tmp_path):
    reader_sim = simulator(records=12, faults=["merge"])
    result = kdr.collect(reader_sim.port, str(tmp_path / "r.sqlite"), password=password,
                         erase=True)
    assert (result.outcome, result.succeeded, result.erase) == ("incomplete", False, None)
    assert result.detail.startswith("Only 11 of 12 record(s) arrived complete")
    assert len(reader_sim.records) == 12
    with pytest.raises(kdr.StoreError, match="nothing was downloaded or erased"):
        kdr.collect(reader_sim.port, str(tmp_path / "no-such-folder" / "r.sqlite"),
                    password=password)
    with pytest.raises(kdr.PasswordRefused):
        kdr.collect(reader_sim.port, str(tmp_path / "r.sqlite"), password="wrong")


def readme_example():
    with open(os.environ["KDR_README"], encoding="utf-8") as readme:
        text = readme.read()
    section = text.split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


@pytest.mark.parametrize("faults, single_read, outcome, reads", [
    (["flip"], False, "unsure", 3),         # no two reads agree: nothing stored
    (["garble:D@1"], False, "stored", 3),   # the damaged read is outvoted
    ([], True, "stored", 1),
])
def test_collect_stores_what_two_reads_agree_on(simulator, password, tmp_path, faults,
                                                single_read, outcome, reads):
    reader_sim = simulator(records=4, faults=faults)
    result = kdr.collect(reader_sim.port, str(tmp_path / "r.sqlite"), password=password,
                         erase=True, single_read=single_read)
    assert (result.outcome, result.reads, result.reader) == (outcome, reads, "KDR00001")
    assert (reader_sim.records == []) == (outcome == "stored")


@pytest.mark.parametrize("name", ["A\tB", "x" * 33, " KDR"])
def test_collect_refuses_a_name_that_cannot_be_one(simulator, password, tmp_path, name):
    reader_sim = simulator(records=1)
    with pytest.raises(ValueError):
        kdr.collect(reader_sim.port, str(tmp_path / "r.sqlite"), password=password, reader=name)
    assert not (tmp_path / "r.sqlite").exists()


def test_the_readme_example_runs_as_written(simulator, tmp_path):
    reader_sim = simulator(records=7, password="secret")
    script = tmp_path / "example.py"
    script.write_text(readme_example())
    run = subprocess.run([sys.executable, str(script), reader_sim.port],
                         capture_output=True, text=True, timeout=60, check=False)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 7 and all(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ", l) for l in lines)
    assert run.stderr == "7 record(s) from KDR00001\n"
    assert reader_sim.records == []

    failed = subprocess.run([sys.executable, str(script), "/dev/kdr-no-such-device"],
                            capture_output=True, text=True, timeout=60, check=False)
    assert failed.returncode == 1 and failed.stderr.startswith("/dev/kdr-no-such-device: ")


def test_station_collects_a_docked_reader_once(simulator, password, tmp_path):
    reader_sim = simulator(records=5)
    station = kdr.Station(reader_sim.port, str(tmp_path / "r.sqlite"), password=password,
                          erase=True)
    lines, results = [], []

    def collected(result):
        results.append(result)
        station.stop()

    station.run(on_line=lines.append, on_result=collected)
    assert [(r.outcome, r.check, r.each_read, r.erase) for r in results] == [
        ("stored", "sure", ["whole", "whole"], "verified")]
    assert lines[0].startswith(f"watching {reader_sim.port} every 2 s")
    assert lines[1] == results[0].message
    assert lines[-1] == "stopped"
    assert reader_sim.records == []
