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
import sys
import tempfile
import time

from push_latency import access_token, http, report, start_rig, stop_rig, wait_delivered


def main():
    build, count = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 300
    work = tempfile.mkdtemp(prefix="kiv-campaign-bench-")
    campaigns = [{"id": f"c{i}", "place": {"eddystone": [f"{i:04x}"]}, "trigger": "enter",
                  "notification": {"category": "kiv-did-enter-region", "title": f"n{i}",
                                   "click": "https://example.com/offers"}} for i in range(count)]
    with open(os.path.join(work, "campaigns.json"), "w") as f:
        json.dump({"campaigns": campaigns}, f)
    procs = []
    try:
        procs, cloud_port, agent, device = start_rig(
            build, work, ["--campaigns", os.path.join(work, "campaigns.json"), "--db", os.path.join(work, "kiv.db")])
        token = access_token(cloud_port)
        time.sleep(1)  # the agent's subscription and kiv-cloud's connection are in place
        times = []
        for i in range(count):
            upload = json.dumps({"access_token": token, "deviceId": device,
                                 "beacons": [{"eid": f"BeaconID beacon: {i:04x}", "rssi": -60}]}).encode()
            began = time.monotonic()
            status, answer = http(cloud_port, "POST", "/ibeaconupdate", upload, ["Content-Type: application/json"])
            if status != 200:
                sys.exit(f"the upload answered {status}: {answer[:200]!r}")
            wait_delivered(agent)
            times.append(time.monotonic() - began)
        report(times, "enters")
    finally:
        stop_rig(procs, work)


if __name__ == "__main__":
    main()
