#!/usr/bin/env python3
"""`kdr serve` in a headless browser and over plain HTTP.

A store is filled by the built `kdr` itself (`kdr simulate` and `kdr collect`),
served by `kdr serve`, and looked at as a user and as a client would.

Usage: serve_test.py --kdr KDR --backend sqlite|postgres [--pg-state DIR]
Exit 77 (skipped) when chromium or chromedriver is missing, or PostgreSQL for
the postgres back end, saying why.
"""
import argparse
import os
import re
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

SKIPPED = 77
CHROMEDRIVER = "/usr/bin/chromedriver"
PASSWORD = "browser"
MARKUP = "<script>window.pwned=1</script>"
BOLD = "<b>bold</b>"
# Two readers: one whose records hold markup, one with plain records on two
# days (its clock starts just after midnight, records are a minute apart).
MARKUP_READER = ("MARKUP01", "2024-05-03 12:00:00", [MARKUP, BOLD, "plain text"])
PLAIN_READER = (
    "PLAIN002",
    "2024-05-02 00:03:00",
    ["apple 1", "pear 2", "apple 3", "plum 4", "pear 5"],
)
# Collected and erased: nothing about it needs attention.
CLEAN_READER = ("CLEAN003", "2024-05-03 08:00:00", ["clean 1"])
# Given in the PostgreSQL URI (the test server trusts its clients): never shown.
PG_PASSWORD = "never-shown-secret"
WAIT = 15  # seconds for a page or a process to do what it should


def skip(why):
    print(f"SKIPPED: {why}", file=sys.stderr)
    sys.exit(SKIPPED)


def first_line(process, timeout=WAIT):
    """The first line the process writes on standard output."""
    deadline = time.monotonic() + timeout
    text = b""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while b"\n" not in text:
            left = deadline - time.monotonic()
            if left <= 0 or not selector.select(left):
                raise TimeoutError(f"{process.args[:2]} wrote no line in {timeout} s")
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                raise RuntimeError(f"{process.args[:2]} ended with {process.wait()}")
            text += chunk
    return text.split(b"\n")[0].decode()


class NoRedirects(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


OPENER = urllib.request.build_opener(NoRedirects)


def http(url, method="GET", headers=None):
    """(status, headers, body) of one request, redirects not followed."""
    request = urllib.request.Request(url, method=method, headers=headers or {})
    try:
        with OPENER.open(request, timeout=WAIT) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


class Station:
    """The store, the `kdr` processes the test started, and the browser."""

    def __init__(self, kdr, target, folder):
        self.kdr, self.target, self.folder = kdr, target, folder
        self.processes = []
        self.said = ""  # what the last `kdr serve` said it serves

    def start(self, *args):
        log = open(os.path.join(self.folder, f"{args[0]}-{len(self.processes)}.log"), "wb")
        process = subprocess.Popen(
            [self.kdr, *args], stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL
        )
        log.close()
        self.processes.append(process)
        return process

    def collect(self, reader_id, clock, records, options=(), faults=(), fails=False):
        """Collects a simulated reader holding these records into the store
        (with these collect options, through these faults of the reader)."""
        records_args = [a for text in records for a in ("--record", text)]
        fault_args = [a for fault in faults for a in ("--fault", fault)]
        simulator = self.start(
            "simulate", "--id", reader_id, "--password", PASSWORD, "--fast", "--clock", clock,
            *records_args, *fault_args,
        )
        try:
            pty = first_line(simulator)
            for _ in range(5):
                result = subprocess.run(
                    [self.kdr, "collect", "--port", pty, "--password", PASSWORD, "--db",
                     self.target, *options],
                    capture_output=True, text=True, timeout=60,
                )
                # Another test's stray client held the pty for a moment.
                if "in use by another program" not in result.stderr:
                    break
                time.sleep(0.2)
            if (result.returncode != 0) != fails:
                raise RuntimeError(f"kdr collect {reader_id}: {result.stderr}")
        finally:
            simulator.send_signal(signal.SIGTERM)
            simulator.wait(WAIT)

    def serve(self, *extra):
        """Starts `kdr serve` on a free port; its base URL."""
        process = self.start("serve", "--db", self.target, "--listen", "127.0.0.1:0", *extra)
        line = self.said = first_line(process)
        found = re.match(r"kdr serve: (http://127\.0\.0\.1:\d+/) shows ", line)
        if not found:
            raise RuntimeError(f"kdr serve said: {line}")
        return found.group(1)

    def stop(self):
        for process in self.processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(WAIT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def browser(width=1280, height=900):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    # The tests run as root: chromium's sandbox refuses it.
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     f"--window-size={width},{height}"):
        options.add_argument(argument)
    options.binary_location = CHROMIUM
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


STATION = None
CHROMIUM = None


class ServeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = STATION.serve()
        cls.driver = browser()

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()

    def wait(self, condition, what):
        from selenium.webdriver.support.ui import WebDriverWait

        return WebDriverWait(self.driver, WAIT).until(lambda d: condition(d), message=what)

    def rows(self, table):
        from selenium.webdriver.common.by import By

        return self.driver.find_elements(By.CSS_SELECTOR, f"#{table} tbody tr")

    def test_readers_page_lists_the_readers_and_draws_the_chart(self):
        self.driver.get(self.base)
        names = [row.find_element("tag name", "a").text for row in self.rows("readers")]
        self.assertEqual(sorted(names), [CLEAN_READER[0], MARKUP_READER[0], PLAIN_READER[0]])
        self.assertNotIn(PG_PASSWORD, STATION.said + self.driver.page_source)
        drawn = self.wait(
            lambda d: d.find_element("id", "chart").get_attribute("data-drawn"), "chart drawn"
        )
        # The plain reader's records fall on two days, the other's on a third.
        self.assertEqual(drawn, "3")

    def test_each_collect_in_its_own_words(self):
        # The markup reader was read once, never compared; the plain one's
        # last collect had three reads that never agreed.
        self.driver.get(self.base)
        rows = {row.find_element("tag name", "a").text: row.text for row in self.rows("readers")}
        self.assertIn("1 read, not checked", rows[MARKUP_READER[0]])
        self.assertNotIn("sure", rows[MARKUP_READER[0]])
        self.assertIn("3 reads, no two agreed", rows[PLAIN_READER[0]])
        self.assertIn("not erased: the reads did not agree", rows[PLAIN_READER[0]])
        self.assertNotIn("the download was incomplete", rows[PLAIN_READER[0]])
        warned = self.driver.find_elements("css selector", "#readers .warn")
        self.assertTrue(any("not checked" in cell.text for cell in warned))

    def test_search_filters_the_records(self):
        self.driver.get(self.base + "readers/" + PLAIN_READER[0])
        before = len(self.rows("records"))
        field = self.driver.find_element("css selector", "#filter input[name=q]")
        field.send_keys("pear")
        field.submit()
        self.wait(lambda d: "q=pear" in d.current_url, "the search submitted")
        texts = [row.find_element("css selector", "td.text").text for row in self.rows("records")]
        self.assertEqual(before, len(PLAIN_READER[2]))
        self.assertEqual(len(texts), 2)
        self.assertTrue(all("pear" in text for text in texts), texts)

    def test_search_every_reader_from_the_readers_page(self):
        self.driver.get(self.base)
        field = self.driver.find_element("css selector", "#search input[name=q]")
        field.send_keys("PEAR")  # the records say "pear"
        field.submit()
        self.wait(lambda d: "q=PEAR" in d.current_url, "the search submitted")
        found = [
            (row.find_element("tag name", "a").text, row.find_element("css selector", "td.text").text)
            for row in self.rows("results")
        ]
        self.assertEqual(found, [(PLAIN_READER[0], "pear 2"), (PLAIN_READER[0], "pear 5")])
        link = self.rows("results")[0].find_element("tag name", "a").get_attribute("href")
        self.assertTrue(link.endswith("/readers/" + PLAIN_READER[0]), link)
        # The chart counts the matches alone: two days, not the store's three.
        source = self.driver.find_element("id", "chart").get_attribute("data-source")
        self.assertIn("q=PEAR", source)
        drawn = self.wait(
            lambda d: d.find_element("id", "chart").get_attribute("data-drawn"), "chart drawn"
        )
        self.assertEqual(drawn, "2")

    def test_reader_page_lists_its_collects_newest_first(self):
        self.driver.get(self.base + "readers/" + PLAIN_READER[0])
        collects = [row.text for row in self.rows("collects")]
        self.assertEqual(len(collects), 2)
        self.assertIn("3 reads, no two agreed", collects[0])
        self.assertNotIn("no two agreed", collects[1])
        every = self.driver.find_element("link text", "Every collect of this reader")
        self.assertTrue(every.get_attribute("href").endswith("/downloads?reader=" + PLAIN_READER[0]))

    def test_markup_in_records_is_shown_as_text(self):
        self.driver.get(self.base + "readers/" + MARKUP_READER[0])
        texts = [
            cell.get_attribute("textContent")
            for cell in self.driver.find_elements("css selector", "#records td.text")
        ]
        self.assertIn(MARKUP, texts)
        self.assertIn(BOLD, texts)
        self.assertEqual(self.driver.find_elements("css selector", "#records b"), [])
        self.assertEqual(self.driver.execute_script("return typeof window.pwned"), "undefined")

    def test_http_answers(self):
        cases = [
            # method, path, status
            ("POST", "", 405),
            ("PUT", "api/readers", 405),
            ("DELETE", "readers/" + MARKUP_READER[0], 405),
            ("GET", "api/records?since=2024-02-30", 400),
            ("GET", "api/records?colour=red", 400),
            ("GET", "api/records?limit=1001", 400),
            ("GET", "api/records?q=a&q=b", 400),
            ("GET", "api/records?q=caf%E9", 400),  # no UTF-8
            ("GET", "api/records?q=a%00b", 400),
            ("GET", "api/records?after=1.2", 400),
            ("GET", "?page=2", 404),
            ("GET", "?sort=colour", 400),
            ("GET", "?q=pear&after=99999.1.1", 404),
            ("GET", f"readers/{PLAIN_READER[0]}?after=99999.1.1", 404),
            ("GET", "downloads?page=99", 404),
            ("GET", f"readers/{PLAIN_READER[0]}?until=yesterday", 400),
            ("GET", "static/../../etc/passwd", 404),
            ("GET", "static/nope", 404),
            ("GET", "readers/NOBODY", 404),
            ("GET", "healthz", 200),
        ]
        for method, path, status in cases:
            with self.subTest(method=method, path=path):
                got, _, _ = http(self.base + path, method)
                self.assertEqual(got, status)

        status, headers, body = http(self.base, "HEAD")
        self.assertEqual((status, body), (200, b""))
        self.assertIn("script-src 'self'", headers["Content-Security-Policy"])

        import json

        status, _, body = http(self.base + f"api/records?reader={PLAIN_READER[0]}&limit=2")
        page = json.loads(body)
        self.assertEqual(status, 200)
        self.assertEqual(sorted(page), ["limit", "next", "offset", "records", "total"])
        self.assertEqual((page["total"], page["offset"], page["limit"]), (5, 0, 2))
        self.assertEqual([r["text"] for r in page["records"]], PLAIN_READER[2][:2])
        # The next page by key takes up where this one ended.
        path = f"api/records?reader={PLAIN_READER[0]}&limit=2&after={page['next']}"
        self.assertEqual(
            [r["text"] for r in json.loads(http(self.base + path)[2])["records"]],
            PLAIN_READER[2][2:4],
        )

    def test_beyond_loopback_needs_a_token(self):
        result = subprocess.run(
            [STATION.kdr, "serve", "--db", STATION.target, "--listen", "0.0.0.0:0"],
            capture_output=True, text=True, timeout=WAIT,
        )
        self.assertEqual(result.returncode, 2)
        self.assertIn("--token-file", result.stderr)

    def test_a_port_in_use_is_refused(self):
        # Not shared with the server already there, which would then answer
        # only part of the requests.
        port = re.search(r":(\d+)/", self.base).group(1)
        result = subprocess.run(
            [STATION.kdr, "serve", "--db", STATION.target, "--listen", f"127.0.0.1:{port}"],
            capture_output=True, text=True, timeout=WAIT,
        )
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot listen on", result.stderr)

    def test_token_is_enforced(self):
        token_file = os.path.join(STATION.folder, "token")
        token = "t0ken-of-this-test-run-" + str(os.getpid())
        with open(token_file, "w") as out:
            out.write(token + "\n")
        base = STATION.serve("--token-file", token_file)
        self.assertEqual(http(base)[0], 401)
        self.assertEqual(http(base + "metrics")[0], 401)
        self.assertEqual(http(base + "?token=wrong-token-of-the-test")[0], 401)
        self.assertEqual(http(base, headers={"Authorization": f"Bearer {token}"})[0], 200)
        status, headers, _ = http(base + f"?token={token}")
        self.assertEqual((status, headers["Location"]), (303, "/"))
        self.assertIn("HttpOnly", headers["Set-Cookie"])

        self.driver.get(base + f"readers/{PLAIN_READER[0]}?token={token}")
        self.assertEqual(self.driver.current_url, base + f"readers/{PLAIN_READER[0]}")
        self.assertEqual(len(self.rows("records")), len(PLAIN_READER[2]))
        self.driver.delete_all_cookies()
        self.driver.get(base + "?token=wrong-token-of-the-test")
        self.assertEqual(self.rows("readers"), [])
        self.assertIn("access token", self.driver.find_element("tag name", "main").text)

    def test_what_needs_attention_comes_first(self):
        # The plain reader's last collect was unsure; the markup reader was
        # last collected 30 days ago; the clean one needs nothing.
        self.driver.get(self.base)
        summary = self.driver.find_element("css selector", "p.attention")
        self.assertIn("2 need attention", summary.text)
        kinds = {
            kind.get_attribute("data-kind"): kind.text
            for kind in summary.find_elements("css selector", ".kind")
        }
        self.assertEqual(kinds, {"unsure": "1 last collect unsure",
                                 "stale": "1 not collected lately"})
        summary.find_element("tag name", "a").click()
        self.wait(lambda d: "attention=1" in d.current_url, "the list of those")
        names = sorted(row.find_element("tag name", "a").text for row in self.rows("readers"))
        self.assertEqual(names, [MARKUP_READER[0], PLAIN_READER[0]])

        import json

        readers = json.loads(http(self.base + "api/readers")[2])
        kinds = {r["machine_id"]: [need["kind"] for need in r["attention"]] for r in readers}
        self.assertEqual(kinds, {CLEAN_READER[0]: [], MARKUP_READER[0]: ["stale"],
                                 PLAIN_READER[0]: ["unsure"]})

    def test_the_reads_side_by_side(self):
        # The plain reader's last download: three reads of a line that
        # flips bytes, none the same as another.
        import json

        download = json.loads(http(self.base + f"api/downloads?reader={PLAIN_READER[0]}")[2])[-1]
        self.driver.get(self.base + f"downloads/{download['id']}")
        self.assertIn("no two agreed", self.driver.find_element("tag name", "main").text)
        reads = self.driver.find_elements("css selector", "section.read")
        self.assertGreaterEqual(len(reads), 2)
        first = http(self.base + f"downloads/{download['id']}/answer?read="
                     + reads[0].get_attribute("data-read"))[2]
        for read in reads[1:]:
            number = read.get_attribute("data-read")
            status, _, body = http(self.base + f"downloads/{download['id']}/answer?read={number}")
            self.assertEqual(status, 200)
            at = next(i for i in range(len(first)) if i >= len(body) or body[i] != first[i])
            self.assertEqual(read.get_attribute("data-differs-at"), str(at))
            # Marked in the text and in the hex, where the bytes differ.
            marks = read.find_elements("tag name", "mark")
            self.assertEqual(marks[1].text, f"{body[at]:02x}")
        self.assertEqual(http(self.base + f"downloads/{download['id']}/answer?read=9")[0], 404)

    def test_a_phone_sees_each_readers_outcome_unswiped(self):
        phone = browser(390, 844)
        try:
            phone.get(self.base)
            edges = phone.execute_script(
                "return [...document.querySelectorAll('#readers td.outcome, #readers td.seen')]"
                ".map(cell => cell.getBoundingClientRect().right);")
            width = phone.execute_script("return document.documentElement.clientWidth")
            self.assertEqual(len(edges), 6)
            self.assertTrue(all(edge <= width for edge in edges), (edges, width))
        finally:
            phone.quit()

    def test_metrics_for_prometheus(self):
        from prometheus_client.parser import text_string_to_metric_families

        status, headers, body = http(self.base + "metrics")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/plain; version=0.0.4"))
        samples = {
            (sample.name, tuple(sorted(sample.labels.items()))): sample.value
            for family in text_string_to_metric_families(body.decode())
            for sample in family.samples
        }
        records = len(MARKUP_READER[2]) + len(PLAIN_READER[2]) + len(CLEAN_READER[2])
        expected = {
            ("kdr_readers", ()): 3,
            ("kdr_records", ()): records,
            ("kdr_downloads_total", (("outcome", "stored"),)): 3,
            ("kdr_downloads_total", (("outcome", "unsure"),)): 1,
            ("kdr_readers_attention", (("kind", "unsure"),)): 1,
            ("kdr_readers_attention", (("kind", "stale"),)): 1,
            ("kdr_readers_attention", (("kind", "incomplete"),)): 0,
            ("kdr_ports_unreachable", ()): 0,
            ("kdr_store_up", ()): 1,
        }
        for key, value in expected.items():
            self.assertEqual(samples.get(key), value, key)
        stale = samples[("kdr_reader_last_collect_seconds", (("reader", MARKUP_READER[0]),))]
        self.assertGreaterEqual(stale, 30 * 86400)
        erased = (("reader", CLEAN_READER[0]),)
        self.assertLess(samples[("kdr_reader_last_verified_erase_seconds", erased)], 600)
        self.assertNotIn(("kdr_reader_last_verified_erase_seconds",
                          (("reader", PLAIN_READER[0]),)), samples)

    def test_z_new_download_shows_on_an_open_page(self):
        # Last (by name): it adds a reader to the store.
        self.driver.get(self.base + "downloads")
        before = len(self.rows("downloads"))
        self.driver.execute_script("window.shownBefore = true")
        STATION.collect("LIVE0003", "2024-05-04 09:00:00", ["live"])
        self.wait(lambda d: len(self.rows("downloads")) == before + 1, "the new download shown")
        self.assertIn("LIVE0003", self.rows("downloads")[0].text)
        # The page reloaded itself.
        self.assertIsNone(self.driver.execute_script("return window.shownBefore"))


def age_downloads(target, reader, days):
    """Makes the reader's downloads `days` older, as if it had not been
    collected since."""
    if target.startswith("postgresql://"):
        subprocess.run(
            ["psql", target, "-q", "-c",
             f"UPDATE downloads SET ended_at = ended_at - interval '{days} days' WHERE reader_id ="
             f" (SELECT id FROM readers WHERE machine_id = convert_to('{reader}', 'UTF8'))"],
            check=True,
        )
        return
    import datetime
    import sqlite3

    ended = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=days)
    with sqlite3.connect(target) as db:
        db.execute(
            "UPDATE downloads SET ended_at = ? WHERE reader_id = "
            "(SELECT id FROM readers WHERE machine_id = ?)",
            (ended.strftime("%Y-%m-%dT%H:%M:%S.000Z"), reader.encode()),
        )


def postgres_database(state):
    """A new database on the server of the store tests, and its URI."""
    if os.path.exists(os.path.join(state, "missing")):
        with open(os.path.join(state, "missing")) as why:
            skip(why.read().strip())
    url_file = os.path.join(state, "url")
    if not os.path.exists(url_file):
        skip("the PostgreSQL test server was not started (run the tests with ctest)")
    with open(url_file) as f:
        server = f.read().strip()
    name = f"kdr_browser_{os.getpid()}_{int(time.time())}"
    subprocess.run(["psql", server, "-q", "-c", f"CREATE DATABASE {name}"], check=True)
    return server.replace("/postgres?", f"/{name}?", 1) + f"&password={PG_PASSWORD}"


def main():
    global STATION, CHROMIUM
    parser = argparse.ArgumentParser()
    parser.add_argument("--kdr", required=True)
    parser.add_argument("--backend", choices=("sqlite", "postgres"), required=True)
    parser.add_argument("--pg-state")
    args = parser.parse_args()

    # The program itself: Debian's /usr/bin/chromium is a script around it.
    CHROMIUM = next(
        (p for p in ("/usr/lib/chromium/chromium", shutil.which("chromium")) if p and
         os.access(p, os.X_OK)), None)
    if not CHROMIUM:
        skip("chromium is not installed (scripts/ensure-deps.sh linux browser)")
    if not os.access(CHROMEDRIVER, os.X_OK):
        skip(f"{CHROMEDRIVER} is missing (scripts/ensure-deps.sh linux browser)")

    with tempfile.TemporaryDirectory(prefix="kdr-browser.") as folder:
        if args.backend == "sqlite":
            target = os.path.join(folder, "records.sqlite")
        else:
            target = postgres_database(args.pg_state)
        STATION = Station(args.kdr, target, folder)
        ok = False
        try:
            STATION.collect(*MARKUP_READER, options=["--single-read"])
            STATION.collect(*PLAIN_READER)
            STATION.collect(*PLAIN_READER, faults=["flip"], fails=True)
            STATION.collect(*CLEAN_READER, options=["--erase"])
            age_downloads(target, MARKUP_READER[0], days=30)
            tests = unittest.defaultTestLoader.loadTestsFromTestCase(ServeTest)
            ok = unittest.TextTestRunner(verbosity=2).run(tests).wasSuccessful()
        finally:
            STATION.stop()
            if not ok:
                for log in sorted(os.listdir(folder)):
                    if log.endswith(".log"):
                        with open(os.path.join(folder, log), errors="replace") as f:
                            print(f"--- {log}\n{f.read()[-3000:]}", file=sys.stderr)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
