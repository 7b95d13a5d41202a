"""Spawns reference peers as child processes and relays their signaling lines to each other."""

import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
TIMEOUT = 60.0


class PeerProcess:
    """One child peer: JSON lines in, JSON lines out, killed with its process group on close."""

    def __init__(self, name, argv, sink):
        self.name = name
        self.sink = sink
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, bufsize=1, start_new_session=True)
        self.stderr_tail = []
        threading.Thread(target=self._read_stdout, daemon=True).start()
        threading.Thread(target=self._read_stderr, daemon=True).start()

    def _read_stdout(self):
        for line in self.proc.stdout:
            line = line.strip()
            if not line:
                continue
            try:
                self.sink.put((self.name, json.loads(line)))
            except ValueError:
                self.sink.put((self.name, {"event": "garbage", "line": line}))
        self.sink.put((self.name, None))

    def _read_stderr(self):
        for line in self.proc.stderr:
            self.stderr_tail.append(line.rstrip())
            del self.stderr_tail[:-40]
            if os.environ.get("INTEROP_VERBOSE"):
                sys.stderr.write("[%s] %s" % (self.name, line))

    def send(self, obj):
        self.proc.stdin.write(json.dumps(obj) + "\n")
        self.proc.stdin.flush()

    def close(self):
        if self.proc.poll() is None:
            try:
                self.send({"cmd": "close"})
                self.proc.stdin.close()
                self.proc.wait(timeout=10)
            except Exception:
                pass
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except Exception:
                pass


SCRIPTS = {"aiortc": "aiortc_peer.py", "chromium": "chromium_peer.py"}


class Session:
    """Two peers whose offers, answers and candidates are relayed to each other while a test waits."""

    def __init__(self, kind_a, kind_b, config_a=None, config_b=None):
        self.sink = queue.Queue()
        self.peers = {}
        try:
            a = self._spawn("a-" + kind_a, kind_a, config_a)
            b = self._spawn("b-" + kind_b, kind_b, config_b)
        except Exception:
            self.close()
            raise
        self.a, self.b = a.name, b.name
        self.other = {a.name: b, b.name: a}
        self.events = {a.name: [], b.name: []}
        # Extra fields merged into the offer a peer is handed (e.g. {"video": "send"} to answer with video).
        self.answer_with = {a.name: {}, b.name: {}}

    def _spawn(self, name, kind, config):
        argv = [PYTHON, os.path.join(HERE, SCRIPTS[kind]), json.dumps(config or {})]
        peer = PeerProcess(name, argv, self.sink)
        self.peers[name] = peer
        return peer

    def send(self, name, obj):
        self.peers[name].send(obj)

    def _poll(self, deadline):
        try:
            name, msg = self.sink.get(timeout=max(0.0, min(1.0, deadline - time.monotonic())))
        except queue.Empty:
            return
        if msg is None:
            raise RuntimeError("%s exited; stderr:\n%s" % (name, "\n".join(self.peers[name].stderr_tail)))
        if os.environ.get("INTEROP_VERBOSE"):
            sys.stderr.write("<%s> %s\n" % (name, json.dumps(msg)[:200]))
        if msg.get("type") in ("offer", "answer", "candidate"):
            to = self.other[name]
            if msg["type"] == "offer":
                msg = dict(msg, **self.answer_with[to.name])
            to.send(msg)
        if msg.get("event") == "error":
            raise RuntimeError("%s reported: %s" % (name, msg.get("message")))
        self.events[name].append(msg)

    def wait(self, name, pred, timeout=TIMEOUT, what="event"):
        """Returns the first event of peer `name` (not yet consumed) that satisfies pred."""
        deadline = time.monotonic() + timeout
        while True:
            for i, ev in enumerate(self.events[name]):
                if pred(ev):
                    del self.events[name][i]
                    return ev
            if time.monotonic() > deadline:
                raise TimeoutError("%s: no %s within %.0f s; seen %s" % (name, what, timeout, self.events[name][-10:]))
            self._poll(deadline)

    def wait_event(self, name, event, timeout=TIMEOUT, **fields):
        return self.wait(name, lambda e: e.get("event") == event and all(e.get(k) == v for k, v in fields.items()),
                         timeout, "%s %s" % (event, fields))

    def close(self):
        for p in self.peers.values():
            p.close()
