#!/usr/bin/env python3
"""The dashboard in a real headless browser: a kiv-cloud on 127.0.0.1 with a few uploaded
sightings, the page opened with the admin token in its fragment, the table and plots checked.
Then a wrong token must show the login form with a message, and the form must bring the data
back. Last, the campaigns and devices panels: a campaign's trigger, a device in its place and a
stale one. Exit 77 (skipped) only when there is no chromium.

Usage: dashboard_test.py KIV_CLOUD_BINARY OUTPUT_DIR [CHROMIUM]"""
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

ADMIN_TOKEN = "dash-admin-0123456789abcdef"
UUID = "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9"
PHONE = "0123456789ABCDEF0123456789ABCDEF"  # a device token: only these trigger campaigns
CAMPAIGNS = {"campaigns": [{"id": "welcome", "place": {"uuid": UUID, "major": 1}, "trigger": "enter",
                            "notification": {"title": "Welcome"}}]}
EID_KEY = "0011223344556677"  # Eddystone beacons are keyed by their identifier's hex digits
DEADLINE_S = 20
# Buses that are not there: the browser must not reach the machine's own.
NO_BUSES = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/kiv-test-system-bus",
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/kiv-test-session-bus"}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, probe):
    end = time.monotonic() + DEADLINE_S
    while True:
        try:
            value = probe()
        except Failure as failure:  # e.g. the page is still being replaced by the next one
            value = str(failure)
        if value and not isinstance(value, str):
            return value
        if time.monotonic() > end:
            raise Failure(f"timed out waiting for {what}; last seen: {value!r}")
        time.sleep(0.1)


class Browser:
    """Chromium driven over the DevTools protocol on a pipe (fd 3 in, fd 4 out): no port, no
    websocket, only the standard library."""

    def __init__(self, chromium, profile, log):
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        args = [chromium, "--headless=new", "--remote-debugging-pipe", f"--user-data-dir={profile}",
                "--no-first-run", "--disable-gpu", "--disable-extensions", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--window-size=1200,900", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # chromium refuses to run as root with its sandbox
        # The shell puts the pipe ends on the descriptors chromium expects.
        self._process = subprocess.Popen(
            ["/bin/sh", "-c", f'exec "$@" 3<&{to_browser_r} 4>&{from_browser_w}', "sh", *args],
            pass_fds=(to_browser_r, from_browser_w), stdout=log, stderr=log, env=dict(os.environ, **NO_BUSES),
            start_new_session=True)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self._session = None

    def call(self, method, params=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if self._session:
            message["sessionId"] = self._session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        end = time.monotonic() + DEADLINE_S
        while True:
            while b"\0" in self._buffer:
                raw, self._buffer = self._buffer.split(b"\0", 1)
                answer = json.loads(raw)
                if answer.get("id") == self._next_id:
                    if "error" in answer:
                        raise Failure(f"{method}: {answer['error']}")
                    return answer.get("result", {})
            left = end - time.monotonic()
            if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                raise Failure(f"{method}: no answer from chromium in {DEADLINE_S} s")
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                raise Failure(f"{method}: chromium closed the pipe")
            self._buffer += chunk

    def open_tab(self):
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self._session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise Failure(f"page script failed: {result['exceptionDetails']}")
        return result["result"].get("value")

    def close(self):
        os.killpg(self._process.pid, 9)
        self._process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)


def http(base, path, body=None, content_type="application/json"):
    request = urllib.request.Request(base + path, data=body, headers={"Content-Type": content_type})
    try:
        with urllib.request.urlopen(request, timeout=5) as answer:
            return answer.status, answer.headers, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


def client_token(base):
    status, headers, body = http(base, "/KIVClient", b"CLIENTID=dash&SECRET=s3cret", "application/x-www-form-urlencoded")
    check(status == 200, f"token exchange: {status} {body!r}")
    check(headers.get("Cache-Control") == "no-store", f"a token answer may be cached: {headers}")
    return json.loads(body)["token"]


def send(base, token, device, beacons):
    document = {"access_token": token, "deviceId": device, "beacons": beacons}
    status, _, body = http(base, "/ibeaconupdate", json.dumps(document).encode())
    check(status == 200, f"upload: {status} {body!r}")


def upload(base):
    """Three uploads: an iBeacon moving closer, an Eddystone beacon once, and one more iBeacon."""
    token = client_token(base)
    def ibeacon(major, minor, rssi):
        return {"uuid": UUID, "major": major, "minor": minor, "rssi": rssi}
    for beacons in ([ibeacon("1", "7", -80), {"eid": "BeaconID beacon: " + EID_KEY, "rssi": -71}],
                    [ibeacon("1", "7", -70), ibeacon("2", "9", -90)], [ibeacon("1", "7", -58)]):
        send(base, token, "browser-test", beacons)
        time.sleep(0.01)  # distinct arrival times, so the plot has a time axis


# Each row with the number of pixels its RSSI plot drew.
ROWS = """[...document.querySelectorAll('#beacons tbody tr')].map(tr => {
  const c = tr.querySelector('canvas');
  const pixels = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let drawn = 0;
  for (let i = 3; i < pixels.length; i += 4) if (pixels[i]) drawn++;
  return {key: tr.cells[0].textContent, kind: tr.cells[1].textContent, rssi: tr.cells[2].textContent,
          sightings: tr.cells[4].textContent, drawn};
})"""
STATE = """({status: document.getElementById('status').textContent,
  error: document.getElementById('status').classList.contains('error'),
  login: !document.getElementById('login').hidden, main: !document.getElementById('main').hidden,
  hash: location.hash, stored: sessionStorage.getItem('kiv-cloud.adminToken')})"""
PANELS = """({campaigns: [...document.querySelectorAll('#campaigns tbody tr')].map(tr => [...tr.cells].map(c => c.textContent)),
  devices: [...document.querySelectorAll('#devices tbody tr')].map(tr =>
    ({cells: [...tr.cells].map(c => c.textContent), stale: tr.classList.contains('stale')})),
  ticks: [...document.querySelectorAll('#campaigns svg text')].map(t => t.textContent)})"""


def check_dashboard(base, browser):
    status, headers, page = http(base, "/dashboard")
    check(status == 200 and b"dashboard.js" in page, f"GET /dashboard without credentials: {status}")
    check("script-src 'self'" in headers.get("Content-Security-Policy", ""), f"no CSP: {headers}")
    check(headers.get("X-Content-Type-Options") == "nosniff", f"no nosniff: {headers}")
    check(http(base, "/dashboard/missing.js")[0] == 404, "an unknown file of the dashboard is no 404")
    upload(base)

    browser.open_tab()
    browser.call("Page.navigate", {"url": f"{base}/#token={ADMIN_TOKEN}"})
    try:
        rows = wait_for("three beacon rows", lambda: len(browser.evaluate(ROWS) or []) == 3 and browser.evaluate(ROWS))
    except Failure as failure:
        raise Failure(f"{failure}; the page: {browser.evaluate(STATE)}") from None
    by_key = {row["key"]: row for row in rows}
    expected = {f"{UUID}:1:7": ("ibeacon", "-58 dBm", "3"), f"{UUID}:2:9": ("ibeacon", "-90 dBm", "1"),
                EID_KEY: ("eddystone", "-71 dBm", "1")}
    check(set(by_key) == set(expected), f"beacon keys: {sorted(by_key)}")
    check(rows[0]["key"] == f"{UUID}:1:7", f"most recently seen first: {[r['key'] for r in rows]}")
    for key, (kind, rssi, sightings) in expected.items():
        row = by_key[key]
        check((row["kind"], row["rssi"], row["sightings"]) == (kind, rssi, sightings), f"row {row}")
        check(row["drawn"] > 0, f"RSSI plot of {key} is blank")
    check(by_key[f"{UUID}:1:7"]["drawn"] > by_key[EID_KEY]["drawn"], "three points draw more than one")
    state = browser.evaluate(STATE)
    check(state["hash"] == "" and state["stored"] == ADMIN_TOKEN, f"token handling: {state}")
    check(not state["error"] and state["main"], f"status after loading: {state}")

    # The push form on a kiv-cloud without a broker: the page says why nothing was sent.
    browser.evaluate("document.getElementById('push-target').value = '00112233445566778899AABBCCDDEEFF';"
                     "document.getElementById('push-title').value = 'Hi'; document.getElementById('push').requestSubmit()")
    wait_for("the push answer", lambda: "503" in browser.evaluate("document.getElementById('push-result').textContent"))

    # A wrong token: the form with a message; the form brings the data back.
    browser.call("Page.navigate", {"url": f"{base}/dashboard#token=wrong"})
    state = wait_for("the login form", lambda: (s := browser.evaluate(STATE))["login"] and s)
    check(state["error"] and "401" in state["status"] and not state["main"] and state["stored"] is None,
          f"after a wrong token: {state}")
    browser.evaluate(f"document.getElementById('token').value = {json.dumps(ADMIN_TOKEN)};"
                     "document.getElementById('login').requestSubmit()")
    wait_for("rows after the form", lambda: len(browser.evaluate(ROWS) or []) == 3)


def check_panels(base, browser):
    """The phone keeps uploading in the campaign's place (exit timeout 1 s) while "browser-test",
    quiet since check_dashboard, turns stale and leaves it."""
    token = client_token(base)
    def panels():
        send(base, token, PHONE, [{"uuid": UUID, "major": "1", "minor": "7", "rssi": -60}])
        state = browser.evaluate(PANELS)
        devices = {d["cells"][0]: d for d in state["devices"]}
        ready = (state["campaigns"] and state["campaigns"][0][3] == "1" and PHONE in devices
                 and devices.get("browser-test", {}).get("stale"))
        return (state, devices) if ready else json.dumps(state)
    state, devices = wait_for("the campaign's trigger and a stale device", panels)
    # No broker: the trigger counts, its delivery failed, so there is no tap rate.
    check(state["campaigns"][0][:7] == ["welcome", f"{UUID} major 1", "enter", "1", "0", "0", "–"],
          f"campaign row: {state['campaigns']}")
    check(len(state["ticks"]) >= 3 and all(len(t) == 5 and t[2] == ":" for t in state["ticks"]),
          f"clock times under the hourly plot: {state['ticks']}")
    check(devices[PHONE]["cells"][4:] == [f"{UUID} major 1", "active"] and not devices[PHONE]["stale"],
          f"the phone: {devices[PHONE]}")
    check(devices["browser-test"]["cells"][4:] == ["–", "stale"], f"the stale gateway: {devices['browser-test']}")


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    binary, out_dir = sys.argv[1], sys.argv[2]
    chromium = sys.argv[3] if len(sys.argv) > 3 else shutil.which("chromium") or "/usr/bin/chromium"
    if not os.access(chromium, os.X_OK):
        print(f"SKIPPED: no chromium at {chromium} (scripts/setup installs it)")
        return 77
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="kiv-dashboard-") as scratch, \
            open(os.path.join(out_dir, "dashboard_test.log"), "w") as log:
        campaigns = os.path.join(scratch, "campaigns.json")
        with open(campaigns, "w") as file:
            json.dump(CAMPAIGNS, file)
        cloud = subprocess.Popen([binary, "--port", "0", "--admin-token", ADMIN_TOKEN, "--client", "dash:s3cret",
                                  "--campaigns", campaigns, "--exit-after", "1"], stdout=subprocess.PIPE, stderr=log)
        browser = None
        try:
            ready = select.select([cloud.stdout], [], [], DEADLINE_S)[0]
            line = cloud.stdout.readline().decode() if ready else ""
            check(line.startswith("listening on "), f"kiv-cloud did not start: {line!r}")
            browser = Browser(chromium, os.path.join(scratch, "profile"), log)
            base = "http://" + line.split()[-1]
            check_dashboard(base, browser)
            check_panels(base, browser)
        except Failure as failure:
            print(f"FAILED: {failure}\n(logs in {log.name})")
            return 1
        finally:
            if browser:
                browser.close()
            cloud.kill()
            cloud.wait()
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
