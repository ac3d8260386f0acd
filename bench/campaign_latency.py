#!/usr/bin/env python3
"""Campaign latency on loopback: a sighting upload to kiv-cloud → enter → campaign → broker →
kiv-agent push --listen prints the delivered notification.

Usage: bench/campaign_latency.py BUILD_DIR [count]   (BUILD_DIR holds kiv-cloud and kiv-agent)
Starts a private mosquitto, kiv-cloud with --mqtt and `count` enter campaigns (default 300), each on
an Eddystone beacon of its own, and a listening agent. Upload i sights beacon i: a new place, so a
new enter, whose notification the agent prints. Each is timed from the upload's start to the
agent's "delivered" line. Prints p50, p99 and max.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

from push_latency import free_port, http


def main():
    build, count = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 300
    work = tempfile.mkdtemp(prefix="kiv-campaign-bench-")
    port = free_port()
    with open(os.path.join(work, "mosquitto.conf"), "w") as f:
        f.write(("user root\n" if os.geteuid() == 0 else "") + f"listener {port} 127.0.0.1\nallow_anonymous true\n")
    campaigns = [{"id": f"c{i}", "place": {"eddystone": [f"{i:04x}"]}, "trigger": "enter",
                  "notification": {"category": "kiv-did-enter-region", "title": f"n{i}",
                                   "click": "https://example.com/offers"}} for i in range(count)]
    with open(os.path.join(work, "campaigns.json"), "w") as f:
        json.dump({"campaigns": campaigns}, f)
    procs = [subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(work, "mosquitto.conf")],
                              stderr=subprocess.DEVNULL)]
    try:
        time.sleep(0.3)
        cloud = subprocess.Popen([f"{build}/kiv-cloud", "--port", "0", "--client", "demo:s3cret",
                                  "--mqtt", f"127.0.0.1:{port}", "--campaigns", os.path.join(work, "campaigns.json"),
                                  "--db", os.path.join(work, "kiv.db")],
                                 stdout=subprocess.PIPE, text=True)
        procs.append(cloud)
        cloud_port = int(cloud.stdout.readline().rsplit(":", 1)[1])
        agent = subprocess.Popen([f"{build}/kiv-agent", "push", "--listen", "--push-broker", f"127.0.0.1:{port}"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                 env=dict(os.environ, XDG_STATE_HOME=work))
        procs.append(agent)
        device = json.loads(agent.stdout.readline())["deviceId"]
        status, body = http(cloud_port, "POST", "/KIVClient", b"CLIENTID=demo&SECRET=s3cret",
                            ["Content-Type: application/x-www-form-urlencoded"])
        token = json.loads(body)["token"]
        time.sleep(1)  # the agent's subscription and kiv-cloud's connection are in place
        times = []
        for i in range(count):
            upload = json.dumps({"access_token": token, "deviceId": device,
                                 "beacons": [{"eid": f"BeaconID beacon: {i:04x}", "rssi": -60}]}).encode()
            began = time.monotonic()
            status, answer = http(cloud_port, "POST", "/ibeaconupdate", upload, ["Content-Type: application/json"])
            if status != 200:
                sys.exit(f"the upload answered {status}: {answer[:200]!r}")
            while True:
                line = agent.stdout.readline()
                if not line:
                    sys.exit("the agent ended")
                if json.loads(line).get("event") == "delivered":
                    break
            times.append(time.monotonic() - began)
        times.sort()
        pick = lambda q: times[min(len(times) - 1, int(q * len(times)))] * 1000
        print(f"| {count} enters | p50 {pick(0.5):.2f} ms | p99 {pick(0.99):.2f} ms | max {times[-1] * 1000:.2f} ms |")
    finally:
        for p in reversed(procs):
            p.terminate()
            p.wait()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
