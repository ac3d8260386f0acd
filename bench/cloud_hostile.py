#!/usr/bin/env python3
"""kiv-cloud against the hostile clients its HTTP server must outlast, two builds side by side.

Usage: bench/cloud_hostile.py OLD/kiv-cloud NEW/kiv-cloud [scenario ...]
Each scenario runs in a fresh service of each build; prints one Markdown row per scenario and build.
  pri-bomb   PRI /x with a gzip body of 1 MiB that inflates to 1 GiB
  pri-chunk  PRI /x with a chunked plain body of 300 MiB
  headers    endless "X-a: b" header lines for 10 s
  desync     a GET whose body is a second GET: how many answers come back
  slow       300 uploads dripping a byte every 2 s (60 from each of 5 addresses), then a rightful
             client from another address: seconds until it is answered (at most 60)
  mixed      the same 300 slow uploads and 64 fast clients at once: fast ones answered in 100 ms
  backoff    200 wrong logins with unique 7 MB client ids from 40 addresses: memory kept after them
  ingest     uploads per second from 4 keep-alive clients (10 sightings each), 5 s, three rounds
             alternating the builds
"""
import json
import socket
import sys
import threading
import time
import zlib

from cloud_attacks import start, status_kb  # one service launcher for both hostile benches


def connect(port, source="127.0.0.1", timeout=70.0):
    s = socket.socket()
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def read_all(s, limit=70.0):
    """Everything until the peer closes or, once it has answered, goes silent for a second."""
    out = b""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        s.settimeout(1.0 if out else max(0.1, end - time.monotonic()))
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            break
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    return out


def status_of(answer):
    return int(answer[9:12]) if answer.startswith(b"HTTP/") else None


def token(port):
    body = b"CLIENTID=demo&SECRET=s3cret"
    s = connect(port)
    s.sendall(b"POST /KIVClient HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
              b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body))
    answer = read_all(s)
    return json.loads(answer.split(b"\r\n\r\n", 1)[1])["token"]


def probe(port, t, source="127.0.0.7"):
    """Seconds until a region-list request is answered, and its status."""
    began = time.monotonic()
    try:
        s = connect(port, source, timeout=60)
        s.sendall(b"GET /beacons/for/mobile?access_token=%s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % t.encode())
        s.settimeout(60)
        answer = s.recv(4096)
    except OSError:
        answer = b""
    return time.monotonic() - began, status_of(answer)


def pri_bomb(port, pid):
    z = zlib.compressobj(9, zlib.DEFLATED, 31)
    zeros = bytes(1 << 20)
    body = b"".join(z.compress(zeros) for _ in range(1024)) + z.flush()
    s = connect(port)
    s.sendall(b"PRI /x HTTP/1.1\r\nHost: x\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n" % len(body))
    try:
        s.sendall(body)
    except OSError:
        pass
    return f"answer {status_of(read_all(s))} ({len(body) >> 10} KiB sent)"


def pri_chunk(port, pid):
    s = connect(port)
    s.sendall(b"PRI /x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n")
    chunk = b"100000\r\n" + b"x" * 0x100000 + b"\r\n"
    sent = 0
    try:
        for _ in range(300):
            s.sendall(chunk)
            sent += 1
        s.sendall(b"0\r\n\r\n")
    except OSError:
        pass
    return f"answer {status_of(read_all(s))} after {sent} MiB sent"


def headers(port, pid):
    s = connect(port)
    s.sendall(b"GET /summary HTTP/1.1\r\nHost: x\r\n")
    lines = b"X-a: b\r\n" * 8192
    sent = 0
    end = time.monotonic() + 10
    try:
        while time.monotonic() < end:
            s.sendall(lines)
            sent += len(lines)
    except OSError:
        pass
    return f"answer {status_of(read_all(s, 5))} after {sent >> 20} MiB of header lines"


def desync(port, pid):
    smuggled = b"GET /summary HTTP/1.1\r\nHost: x\r\n\r\n"
    s = connect(port)
    s.sendall(b"GET /nothing HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s" % (len(smuggled), smuggled))
    answer = read_all(s, 5)
    statuses = [int(part[:3]) for part in answer.split(b"HTTP/1.1 ")[1:]]
    return f"{len(statuses)} answers {statuses}"


class Drips:
    """300 uploads from 127.0.0.2-6 that send their body a byte every 2 s."""

    def __init__(self, port):
        self.sockets = []
        for i in range(300):
            try:
                s = connect(port, f"127.0.0.{2 + i % 5}")
                s.sendall(b"POST /ibeaconupdate HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                          b"Content-Length: 1000\r\n\r\n{")
                self.sockets.append(s)
            except OSError:
                pass
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.drip)
        self.thread.start()

    def drip(self):
        while not self.stop.wait(2.0):
            for s in self.sockets:
                try:
                    s.send(b" ")
                except OSError:
                    pass

    def close(self):
        self.stop.set()
        self.thread.join()
        for s in self.sockets:
            s.close()


def slow(port, pid):
    t = token(port)
    drips = Drips(port)
    time.sleep(1)
    seconds, status = probe(port, t)
    drips.close()
    return f"{len(drips.sockets)} slow connected; rightful client: {status} in {seconds:.3f} s"


def mixed(port, pid):
    t = token(port)
    drips = Drips(port)
    time.sleep(1)
    results = [None] * 64
    def fast(i):
        results[i] = probe(port, t, f"127.0.1.{1 + i % 8}")
    threads = [threading.Thread(target=fast, args=(i,)) for i in range(64)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    drips.close()
    answered = [r for r in results if r[1] == 200]
    quick = sum(1 for r in answered if r[0] < 0.1)
    slowest = max((r[0] for r in results), default=0)
    return f"{len(answered)}/64 answered, {quick} within 100 ms, slowest {slowest:.3f} s"


def ingest_rate(port, seconds=5.0, clients=4):
    t = token(port)
    beacons = [{"eid": "BeaconID beacon: 00ff", "rssi": -60}] * 10
    body = json.dumps({"access_token": t, "deviceId": "bench", "beacons": beacons}).encode()
    request = (b"POST /ibeaconupdate HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
               % (len(body), body))
    counts = [0] * clients
    end = time.monotonic() + seconds
    def complete(answer):
        head, _, body = answer.partition(b"\r\n\r\n")
        return _ and len(body) >= int(head.split(b"Content-Length: ", 1)[1].split(b"\r\n", 1)[0])
    def run(i):
        s = connect(port)
        while time.monotonic() < end:
            s.sendall(request)
            answer = b""
            while not complete(answer):
                chunk = s.recv(65536)
                if not chunk:  # the server ends a connection after so many requests: open another
                    break
                answer += chunk
            if complete(answer):
                counts[i] += 1
            else:
                s.close()
                s = connect(port)
        s.close()
    threads = [threading.Thread(target=run, args=(i,)) for i in range(clients)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return sum(counts) / seconds


def backoff(port, pid):
    """200 wrong logins with unique 7 MB client ids from 40 addresses: what the service keeps."""
    for i in range(200):
        body = b"CLIENTID=%d%s&SECRET=x" % (i, b"c" * (7 << 20))
        s = connect(port, f"127.0.1.{i % 40 + 1}")
        try:
            s.sendall(b"POST /KIVClient HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body))
        except OSError:
            pass
        read_all(s, 10.0)
        s.close()
    time.sleep(2)
    return f"RSS {status_kb(pid, 'VmRSS') // 1024} MB 2 s after the last"


SCENARIOS = {"pri-bomb": pri_bomb, "pri-chunk": pri_chunk, "headers": headers, "desync": desync, "slow": slow,
             "mixed": mixed, "backoff": backoff}


def main():
    builds = {"before": sys.argv[1], "after": sys.argv[2]}
    chosen = sys.argv[3:] or list(SCENARIOS) + ["ingest"]
    print("| scenario | build | result | peak RSS |")
    print("|---|---|---|---|")
    for name in chosen:
        if name == "ingest":
            continue
        for label, binary in builds.items():
            proc, port = start(binary)
            result = SCENARIOS[name](port, proc.pid)
            peak = status_kb(proc.pid, "VmHWM") // 1024
            proc.terminate()
            proc.wait()
            print(f"| {name} | {label} | {result} | {peak} MB |", flush=True)
    if "ingest" in chosen:
        for round_ in range(3):
            for label, binary in builds.items():
                proc, port = start(binary)
                rate = ingest_rate(port)
                proc.terminate()
                proc.wait()
                print(f"| ingest round {round_ + 1} | {label} | {rate:.0f} uploads/s (4 clients) | |", flush=True)


if __name__ == "__main__":
    main()
