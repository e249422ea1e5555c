#!/usr/bin/env bash
# Screenshots of `kdr serve` for the docs: fills a small demo store from
# simulated readers, serves it, and saves PNGs of the readers page, a
# reader's page and the downloads page (desktop width), and of the readers
# page at phone width, into docs/screenshots/. Uses build/dev (built when
# missing); needs scripts/ensure-deps.sh linux browser.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/on-error.sh screenshots

[ -f build/dev/build.ninja ] || cmake --preset dev >/dev/null
cmake --build build/dev --target kdr -j2 >&2
kdr=$PWD/build/dev/cli/kdr
out=$PWD/docs/screenshots
mkdir -p "$out"

work=$(mktemp -d /tmp/kdr-screenshots.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
db=$work/records.sqlite

# collect ID RECORDS [kdr simulate options...]: one reader into the store.
collect() {
    local id=$1 records=$2
    shift 2
    "$kdr" simulate --id "$id" --password demo --fast --records "$records" \
        --path-file "$work/$id.path" "$@" >/dev/null 2>"$work/$id.log" &
    local simulator=$!
    for _ in $(seq 100); do [ -s "$work/$id.path" ] && break; sleep 0.1; done
    "$kdr" collect --port "$(cat "$work/$id.path")" --password demo --db "$db" >&2
    kill "$simulator"
    wait "$simulator" || true
}
collect KDR00042 60
collect KDR00107 25 --record "4006381333931" --record "<b>not bold</b>"
collect DOCK-3 8 --clock "$(date -d '-3 days' '+%Y-%m-%d %H:%M:%S')"

# From the store's folder: the pages name the store as the command was given it.
(cd "$work" && exec "$kdr" serve --db records.sqlite --listen 127.0.0.1:0) \
    >"$work/serve.out" 2>"$work/serve.err" &
pids+=($!)
for _ in $(seq 100); do grep -q '^kdr serve: http' "$work/serve.out" && break; sleep 0.1; done
base=$(sed -n 's|^kdr serve: \(http://[^ ]*\) shows.*|\1|p' "$work/serve.out")
[ -n "$base" ] || { cat "$work/serve.err" >&2; exit 1; }

/usr/bin/python3 - "$base" "$out" <<'EOF'
import sys
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

base, out = sys.argv[1], sys.argv[2]
options = webdriver.ChromeOptions()
for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--hide-scrollbars"):
    options.add_argument(argument)
options.binary_location = "/usr/lib/chromium/chromium"
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    for name, path, width in (("readers", "", 1280), ("reader", "readers/KDR00042", 1280),
                              ("downloads", "downloads", 1280), ("readers-phone", "", 390)):
        driver.set_window_size(width, 900)
        driver.get(base + path)
        charts = driver.find_elements("id", "chart")
        if charts:
            WebDriverWait(driver, 10).until(lambda d: charts[0].get_attribute("data-drawn"))
        # The whole page, up to a screen and a half of it.
        height = driver.execute_script("return document.documentElement.scrollHeight")
        driver.set_window_size(width, min(height + 150, 1400))
        driver.save_screenshot(f"{out}/{name}.png")
        print(f"{out}/{name}.png")
finally:
    driver.quit()
EOF
