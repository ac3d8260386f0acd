#!/usr/bin/env python3
"""Push latency on loopback: POST /push to kiv-cloud → broker → kiv-agent push --listen prints it.

Usage: bench/push_latency.py BUILD_DIR [count]   (BUILD_DIR holds kiv-cloud and kiv-agent)
Starts a private mosquitto on 127.0.0.1, kiv-cloud with --mqtt, and a listening agent; uploads one
sighting so kiv-cloud knows the device, then sends `count` notifications (default 500) one at a time
and times each from the request's start to the agent's "delivered" line. Prints p50, p99 and max.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http(port, method, path, body=b"", headers=()):
    head = f"{method} {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: {len(body)}\r\n"
    head += "".join(h + "\r\n" for h in headers)
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(head.encode() + b"\r\n" + body)
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    head, _, payload = answer.partition(b"\r\n\r\n")
    return int(head[9:12]), payload


def start_rig(build, work, cloud_args=()):
    """A private mosquitto, kiv-cloud with --mqtt (and cloud_args), and a listening agent. Returns the
    processes (stop them with stop_rig), kiv-cloud's port, the agent and its device id."""
    port = free_port()
    with open(os.path.join(work, "mosquitto.conf"), "w") as f:
        f.write(("user root\n" if os.geteuid() == 0 else "") + f"listener {port} 127.0.0.1\nallow_anonymous true\n")
    procs = [subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(work, "mosquitto.conf")],
                              stderr=subprocess.DEVNULL)]
    time.sleep(0.3)
    cloud = subprocess.Popen([f"{build}/kiv-cloud", "--port", "0", "--client", "demo:s3cret",
                              "--admin-token", "bench-admin", "--mqtt", f"127.0.0.1:{port}", *cloud_args],
                             stdout=subprocess.PIPE, text=True)
    procs.append(cloud)
    cloud_port = int(cloud.stdout.readline().rsplit(":", 1)[1])
    agent = subprocess.Popen([f"{build}/kiv-agent", "push", "--listen", "--push-broker", f"127.0.0.1:{port}"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                             env=dict(os.environ, XDG_STATE_HOME=work))
    procs.append(agent)
    device = json.loads(agent.stdout.readline())["deviceId"]
    return procs, cloud_port, agent, device


def stop_rig(procs, work):
    for p in reversed(procs):
        p.terminate()
        p.wait()
    subprocess.run(["rm", "-rf", work])


def access_token(cloud_port):
    status, body = http(cloud_port, "POST", "/KIVClient", b"CLIENTID=demo&SECRET=s3cret",
                        ["Content-Type: application/x-www-form-urlencoded"])
    return json.loads(body)["token"]


def wait_delivered(agent):
    while True:
        line = agent.stdout.readline()
        if not line:
            sys.exit("the agent ended")
        if json.loads(line).get("event") == "delivered":
            return


def report(times, what):
    times.sort()
    pick = lambda q: times[min(len(times) - 1, int(q * len(times)))] * 1000
    print(f"| {len(times)} {what} | p50 {pick(0.5):.2f} ms | p99 {pick(0.99):.2f} ms | max {times[-1] * 1000:.2f} ms |")


def main():
    build, count = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 500
    work = tempfile.mkdtemp(prefix="kiv-push-bench-")
    procs = []
    try:
        procs, cloud_port, agent, device = start_rig(build, work)
        upload = json.dumps({"access_token": access_token(cloud_port), "deviceId": device,
                             "beacons": [{"eid": "BeaconID beacon: 00ff", "rssi": -60}]}).encode()
        http(cloud_port, "POST", "/ibeaconupdate", upload, ["Content-Type: application/json"])
        time.sleep(1)  # the agent's subscription is in place
        times = []
        for i in range(count):
            send = json.dumps({"deviceId": device, "category": "kiv-basic", "title": f"n{i}", "body": "bench"}).encode()
            began = time.monotonic()
            status, answer = http(cloud_port, "POST", "/push", send,
                                  ["Content-Type: application/json", "Authorization: Bearer bench-admin"])
            if status != 202:
                sys.exit(f"POST /push answered {status}: {answer[:200]!r}")
            wait_delivered(agent)
            times.append(time.monotonic() - began)
        report(times, "notifications")
    finally:
        stop_rig(procs, work)


if __name__ == "__main__":
    main()
