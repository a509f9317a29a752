#!/usr/bin/env python3
"""Helpers of the service face's end-to-end run.

  service_helpers.py slow PORT N SECONDS     N clients that send a request a byte at a time
  service_helpers.py receiver PORT OUT       a webhook receiver: each POST body a line of OUT
  service_helpers.py journal SOCKET OUT      a journal socket: each datagram's fields as a JSON line
  service_helpers.py compare LIVE.json FINAL.json   live and final summaries agree on the totals
  service_helpers.py jsonl FILE...           every line of every file is one JSON object; prints counts by type
"""
import json
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, HTTPServer


def slow(port, n, seconds):
    socks = []
    for _ in range(n):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.setblocking(False)
            socks.append(s)
        except OSError:
            pass
    request = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 10000
    end = time.time() + seconds
    i = 0
    cut = 0
    while time.time() < end and i < len(request):
        for s in socks:
            try:
                s.send(request[i:i + 1])
            except OSError:
                cut += 1
        i += 1
        time.sleep(0.5)
    print("slow clients: %d connected, %d sends refused" % (len(socks), cut))


def receiver(port, out):
    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with open(out, "ab") as f:
                f.write(body + b"\n")
            self.send_response(204)
            self.end_headers()

        def log_message(self, *args):
            pass

    HTTPServer(("127.0.0.1", port), Handler).serve_forever()


def journal(path, out):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.bind(path)
    while True:
        data = s.recv(65536)
        fields = {}
        for line in data.split(b"\n"):
            if b"=" in line:
                k, v = line.split(b"=", 1)
                fields[k.decode()] = v.decode("utf-8", "replace")
        with open(out, "a") as f:
            f.write(json.dumps(fields) + "\n")


def compare(live_path, final_path):
    live = json.load(open(live_path))
    final = json.load(open(final_path))
    problems = []
    for key in ("frames_seen", "frames_counted", "frames_filtered", "dropped_by_kernel", "dropped_by_interface"):
        if live[key] != final[key]:
            problems.append("%s: live %s, final %s" % (key, live[key], final[key]))
    hosts = lambda d: {h["address"]: (h["frames_sent"], h["bytes_sent"]) for h in d["hosts"]}
    links = lambda d: {(l["source"], l["destination"]): (l["frames"], l["bytes"]) for l in d["links"]}
    if hosts(live) != hosts(final):
        problems.append("hosts differ")
    if links(live) != links(final):
        problems.append("links differ")
    if problems:
        print("\n".join(problems))
        sys.exit(1)
    print("live and final summaries agree: %d frames, %d hosts, %d links" %
          (final["frames_seen"], len(final["hosts"]), len(final["links"])))


def jsonl(paths):
    counts = {}
    for p in paths:
        with open(p, "rb") as f:
            for n, raw in enumerate(f, 1):
                if not raw.endswith(b"\n"):
                    sys.exit("%s:%d: line without its end" % (p, n))
                obj = json.loads(raw.decode("utf-8"))
                if not isinstance(obj, dict):
                    sys.exit("%s:%d: not an object" % (p, n))
                counts[obj["type"]] = counts.get(obj["type"], 0) + 1
    print(" ".join("%s=%d" % kv for kv in sorted(counts.items())))


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "slow":
        slow(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]))
    elif cmd == "receiver":
        receiver(int(sys.argv[2]), sys.argv[3])
    elif cmd == "journal":
        journal(sys.argv[2], sys.argv[3])
    elif cmd == "compare":
        compare(sys.argv[2], sys.argv[3])
    elif cmd == "jsonl":
        jsonl(sys.argv[2:])
    else:
        sys.exit(__doc__)
