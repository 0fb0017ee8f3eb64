#!/usr/bin/python3
"""Hostile clients against `norvex serve` on 127.0.0.1, one after another, each bounded in
bytes and time; prints what each did to the service: its answer, the service's peak resident
memory (VmHWM from /proc/<pid>/status) and whether it still answers /healthz.

Usage: serve_attacks.py NORVEX SQLITE_DB
Nothing leaves the machine: the service, the stand-in model and every client are on loopback.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peak_rss import status_kb  # noqa: E402




class Latin1Model(BaseHTTPRequestHandler):
    """A model service whose error page is Latin-1."""

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        body = "\u00e9chec de la requ\u00eate".encode("latin-1")
        self.send_response(400)
        self.send_header("Content-Type", "text/plain; charset=iso-8859-1")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    return s


def status_line(s):
    try:
        data = s.recv(200)
    except OSError:
        return "reset"
    return data.split(b"\r\n", 1)[0].decode("latin-1") if data else "closed"


def flood(port, head, piece, limit):
    s = connect(port)
    sent = 0
    try:
        s.sendall(head)
        while sent < limit:
            s.sendall(piece)
            sent += len(piece)
    except OSError:
        pass
    line = status_line(s)
    s.close()
    return sent, line


def healthz(port, timeout=5.0):
    start = time.monotonic()
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        s.sendall(b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        line = status_line(s)
        s.close()
    except OSError as e:
        line = "no answer (%s)" % e.__class__.__name__
    return line, (time.monotonic() - start) * 1000


def request(port, raw):
    s = connect(port)
    s.sendall(raw)
    line = status_line(s)
    s.close()
    return line


def main():
    norvex, database = sys.argv[1:3]
    scratch = tempfile.mkdtemp(prefix="norvex-attacks-")
    model = ThreadingHTTPServer(("127.0.0.1", 0), Latin1Model)
    threading.Thread(target=model.serve_forever, daemon=True).start()
    record = {"provider": "openai", "deployment_name": "m", "api_key": "k",
              "azure_endpoint": "http://127.0.0.1:%d/v1" % model.server_address[1]}
    config = os.path.join(scratch, "models.json")
    with open(config, "w") as out:
        json.dump({"models": [dict(record, model="GPT-3.5"), dict(record, model="GPT-4o")]}, out)
    env = dict(os.environ, NORVEX_MODEL_CONFIG=config, NORVEX_LOOPBACK_ONLY="1")

    def start():
        server = subprocess.Popen(
            [norvex, "serve", "--db", "shop=sqlite:///" + database, "--listen", "127.0.0.1:0",
             "--media", os.path.join(scratch, "media"), "--drain-seconds", "5"],
            stderr=subprocess.PIPE, text=True, errors="replace", env=env)
        for line in server.stderr:
            if "serves on http://127.0.0.1:" in line:
                port = int(line.split("127.0.0.1:")[1].split("/")[0])
                break
        threading.Thread(target=lambda: [None for _ in server.stderr], daemon=True).start()
        time.sleep(0.5)
        return server, port

    def report(name, server, what):
        alive = server.poll() is None
        print("%-44s %-40s peak %5d MiB  %s" % (
            name, what, status_kb(server.pid, "VmHWM") // 1024,
            ("/healthz " + healthz(port)[0]) if alive else "PROCESS GONE"), flush=True)

    server, port = start()
    print("%-44s %-40s peak %5d MiB" % ("idle", "", status_kb(server.pid, "VmHWM") // 1024))

    body = b'{"question": "How many products?"}'
    line = request(port, b"POST /v1/questions HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: "
                   b"text/event-stream\r\nContent-Type: application/json\r\nContent-Length: "
                   + str(len(body)).encode() + b"\r\n\r\n" + body)
    time.sleep(8)  # the model's retries
    report("streamed question, Latin-1 model error", server, line)
    if server.poll() is not None:
        server, port = start()
    report("GET /v1/databases/%ff/tables", server,
           request(port, b"GET /v1/databases/%ff/tables HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))

    chunk = b"10000\r\n" + b"x" * 0x10000 + b"\r\n"
    sent, line = flood(port, b"POST /v1/questions HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                       b"application/json\r\nTransfer-Encoding: chunked\r\n\r\n", chunk, 300 << 20)
    report("300 MiB chunked POST", server, "%d MiB sent, %s" % (sent >> 20, line))

    results = []
    threads = [threading.Thread(target=lambda: results.append(flood(
        port, b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n",
        b"X-Filler: " + b"h" * 8000 + b"\r\n", 256 << 20))) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    report("4 x 256 MiB of header lines", server,
           "%d MiB sent, %s" % (sum(r[0] for r in results) >> 20, results[0][1]))

    slow = [connect(port) for _ in range(50)]
    worst = 0.0
    answers = []
    for round_ in range(6):
        for s in slow:
            try:
                s.send(b"X")
            except OSError:
                pass
        line, ms = healthz(port)
        answers.append(line)
        worst = max(worst, ms)
        time.sleep(2)
    for s in slow:
        s.close()
    report("50 clients trickling a byte every 2 s", server,
           "/healthz worst %.0f ms, %s" % (worst, answers[-1]))

    for name, raw in (
            ("Host: evil.example", b"GET /v1/databases HTTP/1.1\r\nHost: evil.example\r\n\r\n"),
            ("cross-origin text/plain POST", b"POST /v1/questions HTTP/1.1\r\nHost: 127.0.0.1\r\n"
             b"Origin: http://evil.example\r\nContent-Type: text/plain\r\nContent-Length: "
             + str(len(body)).encode() + b"\r\n\r\n" + body)):
        report(name, server, request(port, raw))

    stalled = connect(port)
    stalled.sendall(b"POST /v1/questions HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                    b"application/json\r\nContent-Length: 99\r\n\r\n{")
    def trickle():
        try:
            while server.poll() is None:
                stalled.send(b"x")
                time.sleep(1)
        except OSError:
            pass
    threading.Thread(target=trickle, daemon=True).start()
    start = time.monotonic()
    server.terminate()
    try:
        server.wait(timeout=30)
        print("SIGTERM, client trickling a body, --drain-seconds 5: exited %d after %.1f s" %
              (server.returncode, time.monotonic() - start))
    except subprocess.TimeoutExpired:
        server.terminate()
        try:
            server.wait(timeout=5)
            print("SIGTERM, client mid-request: still running after 30 s; a second signal ended it")
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
            print("SIGTERM, client mid-request: still running after 30 s and a second signal")
    stalled.close()
    model.shutdown()


if __name__ == "__main__":
    main()
