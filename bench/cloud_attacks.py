#!/usr/bin/env python3
"""kiv-cloud under hostile clients, on 127.0.0.1: resident memory and answers.

Usage: bench/cloud_attacks.py PATH/TO/kiv-cloud [scenario ...]
Scenarios (each in a fresh service): bomb, retention, slow. Prints one Markdown row per scenario.
  bomb       a gzip body of 64 MiB of zeros (some 65 KB sent), no token, to the upload route
  retention  100 bodies of 8 MiB to a path that does not exist, no token
  slow       8 clients that never finish their request head, then a probe; then 200 kept-alive
             clients that each send one request at once
"""
import gzip
import os
import selectors
import socket
import subprocess
import sys
import time


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def start(binary):
    proc = subprocess.Popen([binary, "--port", "0", "--client", "demo:s3cret"], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()  # "listening on 127.0.0.1:PORT"
    return proc, int(line.rsplit(":", 1)[1])


def exchange(port, data, timeout=30.0):
    """Sends data on a fresh connection; returns (status or None, seconds)."""
    began = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(data)
        except OSError:
            pass
        answer = b""
        try:
            while b"\r\n" not in answer:
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        except OSError:
            pass
    status = int(answer.split(b" ")[1]) if answer.startswith(b"HTTP/") else None
    return status, time.monotonic() - began


def request(method, path, body=b"", headers=()):
    head = f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n" + "".join(h + "\r\n" for h in headers)
    if body:
        head += f"Content-Length: {len(body)}\r\n"
    return head.encode() + b"\r\n" + body


def bomb(port, pid):
    body = gzip.compress(b"\0" * (64 * 1024 * 1024), 9)
    status, _ = exchange(port, request("POST", "/ibeaconupdate", body, ["Content-Type: application/json", "Content-Encoding: gzip"]))
    alive, _ = exchange(port, request("GET", "/nothing"))
    return f"{len(body) // 1024} KB sent: answer {status}, then {alive}"


def retention(port, pid):
    body = b"x" * (8 * 1024 * 1024)
    statuses = set()
    for _ in range(100):
        statuses.add(exchange(port, request("POST", "/nothing", body, ["Content-Type: text/plain"]))[0])
    return f"answers {sorted(s for s in statuses if s)}"


def slow(port, pid):
    drips = []
    for _ in range(8):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"POST /ibeaconupdate HTTP/1.1\r\nHost: x\r\n")
        drips.append(s)
    probe, probe_time = exchange(port, request("GET", "/nothing"))
    sel = selectors.DefaultSelector()
    began = time.monotonic()
    clients = []
    for _ in range(200):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(request("GET", "/nothing"))
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
        clients.append(s)
    answered = 0
    while answered < 200 and time.monotonic() - began < 120:
        for key, _ in sel.select(timeout=1):
            sel.unregister(key.fileobj)
            answered += 1
    all_time = time.monotonic() - began
    for s in drips + clients:
        s.close()
    return f"probe {probe} in {probe_time:.2f} s; {answered}/200 kept-alive clients answered in {all_time:.2f} s"


def main():
    binary = sys.argv[1]
    scenarios = sys.argv[2:] or ["bomb", "retention", "slow"]
    print("| scenario | result | peak RSS | RSS after |")
    print("|---|---|---|---|")
    for name in scenarios:
        proc, port = start(binary)
        try:
            result = globals()[name](port, proc.pid)
            time.sleep(0.5)  # let the last answers be written before reading the counters
            alive = proc.poll() is None
            peak = status_kb(proc.pid, "VmHWM") // 1024 if alive else 0
            now = status_kb(proc.pid, "VmRSS") // 1024 if alive else 0
            if not alive:
                result += f"; the service died (exit {proc.returncode})"
            print(f"| {name} | {result} | {peak} MB | {now} MB |", flush=True)
        finally:
            if proc.poll() is None:
                proc.terminate()
                proc.wait(30)


if __name__ == "__main__":
    main()
