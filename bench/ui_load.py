#!/usr/bin/python3
"""Viewers of the station's page while it programs: CLIENTS event streams,
one of which never reads. Prints how long each device's end took from its
record in the log to the page (median and worst), as "ui_ms MEDIAN WORST".

  ui_load.py URL LOG DEVICES CLIENTS
"""
import json
import socket
import statistics
import sys
import threading
import time
from urllib.parse import urlparse

url, log, devices, clients = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
where = urlparse(url)
ended_page, ended_log = {}, {}
lock = threading.Lock()


def stream(reads):
    s = socket.create_connection((where.hostname, where.port), timeout=120)
    s.sendall(f"GET /events HTTP/1.1\r\nHost: {where.netloc}\r\nAccept: text/event-stream\r\n\r\n".encode())
    if not reads:  # holds the connection and takes nothing
        time.sleep(120)
        return
    pending = b""
    while len(ended_page) < devices:
        chunk = s.recv(65536)
        if not chunk:
            return
        pending += chunk
        while b"\n\n" in pending:
            event, pending = pending.split(b"\n\n", 1)
            if b"event: ping" in event:  # the server's sign of life, no status
                continue
            for line in event.split(b"\n"):
                if line.startswith(b"data:"):
                    seen(json.loads(line[5:]))


def seen(status):
    now = time.monotonic()
    with lock:
        for tile in status.get("slots", []):
            if tile.get("state") in ("pass", "fail") and tile.get("port") not in ended_page:
                ended_page[tile["port"]] = now


def watch_log():
    done = 0
    while len(ended_log) < devices:
        try:
            lines = open(log).read().splitlines()
        except OSError:
            lines = []
        for line in lines[done:]:
            ended_log[json.loads(line)["port"]] = time.monotonic()
        done = len(lines)
        time.sleep(0.001)


threads = [threading.Thread(target=stream, args=(i > 0,), daemon=True) for i in range(clients)]
threads.append(threading.Thread(target=watch_log, daemon=True))
for t in threads:
    t.start()
deadline = time.monotonic() + 120
while time.monotonic() < deadline and (len(ended_page) < devices or len(ended_log) < devices):
    time.sleep(0.05)
ms = [max(0.0, (ended_page[p] - ended_log[p]) * 1000) for p in ended_log if p in ended_page]
if len(ms) < devices:
    print(f"ui_load: {len(ms)} of {devices} devices reached the page", file=sys.stderr)
    sys.exit(1)
print(f"ui_ms {statistics.median(ms):.0f} {max(ms):.0f}")
