#!/usr/bin/python3
"""A reference WebRTC peer: headless Chromium driven over the DevTools protocol (pipe transport).

Speaks the same JSON-line protocol as aiortc_peer.py (see there), plus:
  config (argv[1]): {"iceServers":[{"urls":[...],"username":U,"credential":C}],
                     "iceTransportPolicy":"all"|"relay", "trickle":true|false}
  {"cmd":"selected-pair"} -> {"event":"selected-pair","local":{...},"remote":{...}}
  {"cmd":"sctp-info"} -> {"event":"sctp-info","maxMessageSize":N}  (the largest message it may send us)
With trickle (the default) local candidates go out as {"type":"candidate",...} lines and the end of
gathering as one with an empty candidate; without it the description is sent once gathering is done.

Chromium runs with a throw-away profile in a temporary directory and dies with this process.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import traceback

CHROMIUM = os.environ.get("MUREL_CHROMIUM", "/usr/bin/chromium")

PAGE_SCRIPT = r"""
(() => {
  let pc = null;
  let config = {};
  let echo = true;
  const channels = {};
  let canvasTimer = null;
  const emit = (o) => murelEmit(JSON.stringify(o));

  const b64encode = (buf) => {
    const bytes = new Uint8Array(buf);
    let s = '';
    for (let i = 0; i < bytes.length; i++) s += String.fromCharCode(bytes[i]);
    return btoa(s);
  };
  const b64decode = (text) => {
    const s = atob(text);
    const bytes = new Uint8Array(s.length);
    for (let i = 0; i < s.length; i++) bytes[i] = s.charCodeAt(i);
    return bytes.buffer;
  };

  const gatheringDone = () => new Promise((resolve) => {
    if (pc.iceGatheringState === 'complete') return resolve();
    pc.addEventListener('icegatheringstatechange', () => {
      if (pc.iceGatheringState === 'complete') resolve();
    });
  });

  const attach = (dc, remote) => {
    dc.binaryType = 'arraybuffer';
    channels[dc.label] = dc;
    if (remote) {
      emit({event: 'channel', label: dc.label, ordered: dc.ordered, maxRetransmits: dc.maxRetransmits,
            maxPacketLifeTime: dc.maxPacketLifeTime, protocol: dc.protocol, id: dc.id});
    }
    const opened = () => emit({event: 'open', label: dc.label});
    if (dc.readyState === 'open') opened(); else dc.addEventListener('open', opened);
    dc.addEventListener('close', () => emit({event: 'close', label: dc.label}));
    dc.addEventListener('message', (e) => {
      if (typeof e.data === 'string') {
        emit({event: 'message', label: dc.label, binary: false, data: e.data});
      } else {
        emit({event: 'message', label: dc.label, binary: true, data: b64encode(e.data)});
      }
      if (echo && dc.readyState === 'open') dc.send(e.data);
    });
  };

  const h264First = (kind) => {
    const seen = new Set();
    const all = [];
    for (const caps of [RTCRtpSender.getCapabilities(kind), RTCRtpReceiver.getCapabilities(kind)]) {
      for (const c of (caps ? caps.codecs : [])) {
        const key = c.mimeType + ' ' + (c.sdpFmtpLine || '');
        if (!seen.has(key)) { seen.add(key); all.push(c); }
      }
    }
    const h264 = all.filter((c) => c.mimeType.toLowerCase() === 'video/h264');
    // Constrained Baseline with packetization mode 1 first: what every H.264 peer can take.
    h264.sort((a, b) => score(b) - score(a));
    return h264;
  };
  const score = (c) => {
    const f = c.sdpFmtpLine || '';
    return (f.includes('packetization-mode=1') ? 2 : 0) + (/profile-level-id=42e0/i.test(f) ? 1 : 0);
  };
  const preferH264 = (transceiver) => {
    const codecs = h264First('video');
    if (!codecs.length) throw new Error('this Chromium has no H.264');
    transceiver.setCodecPreferences(codecs);
  };

  const canvasTrack = () => {
    const canvas = document.createElement('canvas');
    canvas.width = config.videoWidth || 320;
    canvas.height = config.videoHeight || 240;
    document.body.appendChild(canvas);
    const ctx = canvas.getContext('2d');
    let n = 0;
    const draw = () => {
      n++;
      ctx.fillStyle = `rgb(${n * 7 % 256}, 80, ${255 - n * 5 % 256})`;
      ctx.fillRect(0, 0, canvas.width, canvas.height);
      ctx.fillStyle = 'white';
      ctx.fillRect((n * 4) % canvas.width, 40, 40, 40);
    };
    draw();
    canvasTimer = setInterval(draw, 33);
    return canvas.captureStream(30).getVideoTracks()[0];
  };

  const sendDescription = async () => {
    if (!config.trickle) await gatheringDone();
    const d = pc.localDescription;
    emit({type: d.type, sdp: d.sdp});
  };

  const init = (cfg) => {
    config = Object.assign({trickle: true}, cfg);
    pc = new RTCPeerConnection({iceServers: config.iceServers || [],
                                iceTransportPolicy: config.iceTransportPolicy || 'all'});
    pc.addEventListener('icecandidate', (e) => {
      if (!config.trickle) return;
      if (e.candidate && e.candidate.candidate) {
        emit({type: 'candidate', candidate: e.candidate.candidate, mid: e.candidate.sdpMid,
              mlineIndex: e.candidate.sdpMLineIndex});
      } else if (!e.candidate) {
        emit({type: 'candidate', candidate: '', mid: null});
      }
    });
    pc.addEventListener('connectionstatechange', () => emit({event: 'state', state: pc.connectionState}));
    pc.addEventListener('iceconnectionstatechange', () => emit({event: 'ice-state', state: pc.iceConnectionState}));
    pc.addEventListener('datachannel', (e) => attach(e.channel, true));
    pc.addEventListener('track', (e) => emit({event: 'track', kind: e.track.kind}));
  };

  const createChannel = (settings) => {
    const init = {ordered: settings.ordered !== false, protocol: settings.protocol || ''};
    if (settings.maxRetransmits !== undefined && settings.maxRetransmits !== null) init.maxRetransmits = settings.maxRetransmits;
    if (settings.maxPacketLifeTime !== undefined && settings.maxPacketLifeTime !== null) {
      init.maxPacketLifeTime = settings.maxPacketLifeTime;
    }
    attach(pc.createDataChannel(settings.label, init), false);
  };

  const videoStats = async () => {
    const stats = await pc.getStats();
    let result = {frames: 0, width: 0, height: 0, codec: ''};
    const codecs = {};
    stats.forEach((s) => { if (s.type === 'codec') codecs[s.id] = s.mimeType; });
    stats.forEach((s) => {
      if (s.type === 'inbound-rtp' && s.kind === 'video') {
        result = {frames: s.framesDecoded || 0, width: s.frameWidth || 0, height: s.frameHeight || 0,
                  codec: (codecs[s.codecId] || '').replace(/^video\//, '')};
      }
    });
    return result;
  };

  const sentVideoStats = async () => {
    const stats = await pc.getStats();
    let result = {frames: 0, width: 0, height: 0, codec: ''};
    const codecs = {};
    stats.forEach((s) => { if (s.type === 'codec') codecs[s.id] = s.mimeType; });
    stats.forEach((s) => {
      if (s.type === 'outbound-rtp' && s.kind === 'video') {
        result = {frames: s.framesEncoded || 0, width: s.frameWidth || 0, height: s.frameHeight || 0,
                  codec: (codecs[s.codecId] || '').replace(/^video\//, ''), encoder: s.encoderImplementation || ''};
      }
    });
    return result;
  };

  const waitStats = async (get, frames, event) => {
    // Stats are sampled, not pushed: look again until enough frames went through.
    for (;;) {
      const r = await get();
      if (r.frames >= frames) { emit(Object.assign({event}, r)); return; }
      await new Promise((resolve) => setTimeout(resolve, 200));
    }
  };

  const selectedPair = async () => {
    const stats = await pc.getStats();
    const byId = {};
    stats.forEach((s) => { byId[s.id] = s; });
    let pairId = null;
    stats.forEach((s) => { if (s.type === 'transport' && s.selectedCandidatePairId) pairId = s.selectedCandidatePairId; });
    const pair = pairId ? byId[pairId] : null;
    const pick = (c) => c ? {candidateType: c.candidateType, address: c.address, port: c.port,
                             protocol: c.protocol} : null;
    return {event: 'selected-pair', local: pick(pair && byId[pair.localCandidateId]),
            remote: pick(pair && byId[pair.remoteCandidateId])};
  };

  const handle = async (msg) => {
    try {
      if (msg.cmd === 'init') {
        init(msg.config || {});
      } else if (msg.type === 'offer') {
        await pc.setRemoteDescription({type: 'offer', sdp: msg.sdp});
        if (msg.video === 'send') {
          for (const t of pc.getTransceivers()) {
            if (t.receiver.track.kind !== 'video') continue;
            t.direction = 'sendonly';
            await t.sender.replaceTrack(canvasTrack());
            preferH264(t);
          }
        }
        await pc.setLocalDescription(await pc.createAnswer());
        await sendDescription();
      } else if (msg.type === 'answer') {
        await pc.setRemoteDescription({type: 'answer', sdp: msg.sdp});
      } else if (msg.type === 'candidate') {
        if (msg.candidate) {
          const init = {candidate: msg.candidate.replace(/^a=/, ''), sdpMid: msg.mid};
          if (msg.mlineIndex !== undefined && msg.mlineIndex !== null) init.sdpMLineIndex = msg.mlineIndex;
          if (init.sdpMid === undefined || init.sdpMid === null) {
            delete init.sdpMid;
            if (init.sdpMLineIndex === undefined) init.sdpMLineIndex = 0;
          }
          await pc.addIceCandidate(init);
        } else {
          await pc.addIceCandidate();
        }
      } else if (msg.cmd === 'create-offer') {
        for (const settings of (msg.channels || [])) createChannel(settings);
        if (msg.video === 'send') {
          preferH264(pc.addTransceiver(canvasTrack(), {direction: 'sendonly'}));
        } else if (msg.video === 'recv') {
          preferH264(pc.addTransceiver('video', {direction: 'recvonly'}));
        }
        await pc.setLocalDescription(await pc.createOffer());
        await sendDescription();
      } else if (msg.cmd === 'create-channel') {
        createChannel(msg);
      } else if (msg.cmd === 'send') {
        const dc = channels[msg.label];
        if (!dc || dc.readyState !== 'open') throw new Error('channel not open: ' + msg.label);
        dc.send(msg.binary ? b64decode(msg.data) : msg.data);
      } else if (msg.cmd === 'close-channel') {
        const dc = channels[msg.label];
        if (!dc) throw new Error('no channel ' + msg.label);
        dc.close();
      } else if (msg.cmd === 'echo') {
        echo = msg.enabled !== false;
        emit({event: 'echo', enabled: echo});
      } else if (msg.cmd === 'wait-video') {
        waitStats(videoStats, msg.frames || 1, 'video');
      } else if (msg.cmd === 'wait-sent-video') {
        waitStats(sentVideoStats, msg.frames || 1, 'sent-video');
      } else if (msg.cmd === 'sctp-info') {
        emit({event: 'sctp-info', maxMessageSize: pc.sctp ? pc.sctp.maxMessageSize : null});
      } else if (msg.cmd === 'selected-pair') {
        emit(await selectedPair());
      } else if (msg.cmd === 'close') {
        if (canvasTimer) clearInterval(canvasTimer);
        if (pc) pc.close();
      } else {
        throw new Error('unknown input: ' + JSON.stringify(msg));
      }
    } catch (e) {
      emit({event: 'error', message: String(e && e.message || e)});
    }
  };
  // One input at a time, in arrival order: a candidate must not overtake the description before it.
  let chain = Promise.resolve();
  window.murelHandle = (msg) => { chain = chain.then(() => handle(msg)); return chain; };
})();
"""

_out_lock = threading.Lock()


def emit_line(text):
    with _out_lock:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()


def emit(obj):
    emit_line(json.dumps(obj, separators=(",", ":")))


class DevTools:
    """The DevTools protocol over --remote-debugging-pipe: NUL-terminated JSON on fds 3 (in) and 4 (out)."""

    def __init__(self, profile):
        to_child_r, self.to_child = os.pipe()
        self.from_child, from_child_w = os.pipe()
        argv = [CHROMIUM, "--headless=new", "--remote-debugging-pipe", "--user-data-dir=" + profile,
                "--no-first-run", "--no-default-browser-check", "--disable-gpu", "--disable-extensions",
                "--disable-background-networking", "--disable-sync", "--mute-audio",
                "--disable-breakpad", "--disable-crash-reporter",
                "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                "--disable-backgrounding-occluded-windows",
                # Real host addresses instead of mDNS names, and loopback when it is all there is.
                "--disable-features=WebRtcHideLocalIpsWithMdns", "--allow-loopback-in-peer-connection",
                "about:blank"]
        if os.geteuid() == 0:
            argv.insert(1, "--no-sandbox")

        def child_setup():
            # Move both ends out of the way first, so neither dup2 clobbers the other.
            import fcntl
            r = fcntl.fcntl(to_child_r, fcntl.F_DUPFD, 10)
            w = fcntl.fcntl(from_child_w, fcntl.F_DUPFD, 10)
            os.dup2(r, 3)
            os.dup2(w, 4)
            os.setsid()
            try:
                import ctypes
                ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
            except Exception:
                pass

        log = sys.stderr if os.environ.get("INTEROP_VERBOSE") else subprocess.DEVNULL
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                     preexec_fn=child_setup, pass_fds=(3, 4), close_fds=True)
        os.close(to_child_r)
        os.close(from_child_w)
        self.next_id = 0
        self.pending = {}
        self.lock = threading.Lock()
        self.on_event = None
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        buf = b""
        while True:
            chunk = os.read(self.from_child, 65536)
            if not chunk:
                break
            buf += chunk
            while b"\0" in buf:
                raw, buf = buf.split(b"\0", 1)
                msg = json.loads(raw)
                if "id" in msg:
                    with self.lock:
                        waiter = self.pending.pop(msg["id"], None)
                    if waiter:
                        waiter[1].update(msg)
                        waiter[0].set()
                elif self.on_event:
                    self.on_event(msg)
        with self.lock:
            for event, result in self.pending.values():
                result["error"] = {"message": "browser exited"}
                event.set()
            self.pending.clear()
        if self.on_event:
            self.on_event({"method": "murel.exited"})

    def call(self, method, params=None, session=None, timeout=60):
        with self.lock:
            self.next_id += 1
            ident = self.next_id
            done = threading.Event()
            result = {}
            self.pending[ident] = (done, result)
        msg = {"id": ident, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        os.write(self.to_child, json.dumps(msg).encode() + b"\0")
        if not done.wait(timeout):
            raise TimeoutError("DevTools call %s timed out" % method)
        if "error" in result:
            raise RuntimeError("%s: %s" % (method, result["error"].get("message")))
        return result.get("result", {})

    def close(self):
        if self.proc.poll() is None:
            try:
                self.call("Browser.close", timeout=5)
            except Exception:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
        for fd in (self.to_child, self.from_child):
            try:
                os.close(fd)
            except OSError:
                pass


def main():
    config = json.loads(sys.argv[1]) if len(sys.argv) > 1 else {}
    profile = tempfile.mkdtemp(prefix="murel-chromium-")
    browser = None
    exited = threading.Event()
    try:
        browser = DevTools(profile)
        session_box = {}

        def on_event(msg):
            method = msg.get("method")
            params = msg.get("params", {})
            if method == "Runtime.bindingCalled" and params.get("name") == "murelEmit":
                emit_line(params["payload"])
            elif method == "Runtime.exceptionThrown":
                details = params.get("exceptionDetails", {})
                emit({"event": "error", "message": "page exception: %s" %
                      details.get("exception", {}).get("description", details.get("text"))})
            elif method == "Runtime.consoleAPICalled":
                args = " ".join(str(a.get("value", a.get("description", ""))) for a in params.get("args", []))
                sys.stderr.write("console: %s\n" % args)
            elif method in ("Inspector.targetCrashed", "Target.targetCrashed"):
                emit({"event": "error", "message": "page crashed"})
            elif method == "murel.exited":
                exited.set()

        browser.on_event = on_event
        target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = browser.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        session_box["id"] = session
        browser.call("Runtime.enable", session=session)
        browser.call("Runtime.addBinding", {"name": "murelEmit"}, session=session)

        def evaluate(expression):
            r = browser.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True}, session=session)
            if "exceptionDetails" in r:
                raise RuntimeError(r["exceptionDetails"].get("exception", {}).get("description", "evaluate failed"))
            return r

        evaluate(PAGE_SCRIPT)
        evaluate("murelHandle(%s)" % json.dumps({"cmd": "init", "config": config}))
        emit({"event": "ready"})

        for line in sys.stdin:
            line = line.strip()
            if not line:
                continue
            try:
                msg = json.loads(line)
            except ValueError:
                emit({"event": "error", "message": "not JSON: %s" % line[:100]})
                continue
            # Commands are handed over without waiting for the page's promise, so a slow step (gathering)
            # does not hold back the lines behind it; the page orders them itself.
            browser.call("Runtime.evaluate", {"expression": "murelHandle(%s); 0" % json.dumps(msg)}, session=session)
            if msg.get("cmd") == "close":
                break
    except Exception as e:
        traceback.print_exc(file=sys.stderr)
        emit({"event": "error", "message": "%s: %s" % (type(e).__name__, e)})
    finally:
        if browser:
            browser.close()
        shutil.rmtree(profile, ignore_errors=True)
        emit({"event": "closed"})


if __name__ == "__main__":
    main()
