#!/usr/bin/python3
"""A reference WebRTC peer built on aiortc, driven by JSON lines on stdin/stdout.

Run it with Debian's interpreter (/usr/bin/python3), where python3-aiortc and python3-av live.

Input lines (one JSON object each):
  {"cmd":"create-offer","channels":[CHANNEL...],"video":"send"|"recv"|null}
  {"type":"offer","sdp":S,"video":"send"|null}  answer it (the answer goes out as a line)
  {"type":"answer","sdp":S}
  {"type":"candidate","candidate":"candidate:...","mid":M}  an empty candidate ends the remote list
  {"cmd":"create-channel", CHANNEL}          a channel on an already negotiated connection
  {"cmd":"send","label":L,"data":D,"binary":B}   binary data is base64
  {"cmd":"close-channel","label":L}
  {"cmd":"echo","enabled":B}                  echo received messages back (on by default); acknowledged
  {"cmd":"wait-video","frames":N}             report once N received frames were decoded
  {"cmd":"close"}                             close and exit (so does end of input)
  CHANNEL = {"label":L,"ordered":B,"maxRetransmits":N|null,"maxPacketLifeTime":N|null,"protocol":P}

Output lines:
  {"event":"ready"}, {"type":"offer"|"answer","sdp":S} (candidates are inside, aiortc gathers first),
  {"event":"state","state":S}, {"event":"ice-state","state":S},
  {"event":"channel","label":L,"ordered":B,"maxRetransmits":N,"maxPacketLifeTime":N,"protocol":P,"id":I}
  {"event":"open","label":L}, {"event":"close","label":L},
  {"event":"message","label":L,"data":D,"binary":B},
  {"event":"echo","enabled":B}, {"event":"track","kind":K}, {"event":"video","frames":N,"width":W,"height":H,"codec":C},
  {"event":"error","message":M}, {"event":"closed"}
"""

import asyncio
import base64
import json
import logging
import sys
import threading
import traceback

import av
from aiortc import (RTCConfiguration, RTCIceServer, RTCPeerConnection, RTCRtpSender, RTCSessionDescription,
                    VideoStreamTrack)
from aiortc.sdp import candidate_from_sdp

logging.basicConfig(level=logging.WARNING, stream=sys.stderr)

_out_lock = threading.Lock()


def emit(obj):
    line = json.dumps(obj, separators=(",", ":"))
    with _out_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


class PatternTrack(VideoStreamTrack):
    """A moving test pattern, so every frame differs and the encoder makes real P frames."""

    def __init__(self, width=320, height=240):
        super().__init__()
        self.width = width
        self.height = height
        self.counter = 0

    async def recv(self):
        pts, time_base = await self.next_timestamp()
        frame = av.VideoFrame(self.width, self.height, "yuv420p")
        w, h = self.width, self.height
        shift = (self.counter * 4) % w
        row = bytes(((x + shift) * 255 // w) & 0xFF for x in range(w))
        y_plane = frame.planes[0]
        stride = y_plane.line_size
        y = bytearray(stride * h)
        for r in range(h):
            y[r * stride:r * stride + w] = row
        y_plane.update(bytes(y))
        for p in frame.planes[1:]:
            p.update(bytes([128]) * (p.line_size * (h // 2)))
        frame.pts = pts
        frame.time_base = time_base
        self.counter += 1
        return frame


def prefer_h264(transceiver):
    caps = RTCRtpSender.getCapabilities("video").codecs
    h264 = [c for c in caps if c.mimeType.lower() == "video/h264"]
    if h264:
        transceiver.setCodecPreferences(h264)


class Peer:
    def __init__(self, config):
        servers = []
        for s in config.get("iceServers", []):
            servers.append(RTCIceServer(urls=s["urls"], username=s.get("username"), credential=s.get("credential")))
        self.pc = RTCPeerConnection(RTCConfiguration(iceServers=servers or None))
        self.channels = {}
        self.echo = True
        self.frames = 0
        self.width = 0
        self.height = 0
        self.video_waiters = []  # frame counts asked for by wait-video
        self.tasks = set()

        @self.pc.on("connectionstatechange")
        def on_state():
            emit({"event": "state", "state": self.pc.connectionState})

        @self.pc.on("iceconnectionstatechange")
        def on_ice_state():
            emit({"event": "ice-state", "state": self.pc.iceConnectionState})

        @self.pc.on("datachannel")
        def on_datachannel(channel):
            self.attach(channel, remote=True)

        @self.pc.on("track")
        def on_track(track):
            emit({"event": "track", "kind": track.kind})
            if track.kind == "video":
                self.spawn(self.consume_video(track))

    def spawn(self, coro):
        task = asyncio.ensure_future(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    def attach(self, channel, remote):
        self.channels[channel.label] = channel
        if remote:
            emit({"event": "channel", "label": channel.label, "ordered": channel.ordered,
                  "maxRetransmits": channel.maxRetransmits, "maxPacketLifeTime": channel.maxPacketLifeTime,
                  "protocol": channel.protocol, "id": channel.id})

        def on_open():
            emit({"event": "open", "label": channel.label})

        if channel.readyState == "open":
            on_open()
        else:
            channel.on("open", on_open)

        @channel.on("close")
        def on_close():
            emit({"event": "close", "label": channel.label})

        @channel.on("message")
        def on_message(data):
            if isinstance(data, (bytes, bytearray)):
                emit({"event": "message", "label": channel.label, "binary": True,
                      "data": base64.b64encode(bytes(data)).decode()})
            else:
                emit({"event": "message", "label": channel.label, "binary": False, "data": data})
            if self.echo and channel.readyState == "open":
                channel.send(data)

    async def consume_video(self, track):
        while True:
            try:
                frame = await track.recv()
            except Exception:
                return
            self.frames += 1
            self.width, self.height = frame.width, frame.height
            self.report_video()

    def report_video(self):
        ready = [n for n in self.video_waiters if self.frames >= n]
        if ready:
            self.video_waiters = [n for n in self.video_waiters if self.frames < n]
            emit({"event": "video", "frames": self.frames, "width": self.width, "height": self.height,
                  "codec": self.video_codec()})

    def video_codec(self):
        # The answer decides: its first payload type of the video section is the one in use.
        answer = self.pc.localDescription if self.pc.localDescription and \
            self.pc.localDescription.type == "answer" else self.pc.remoteDescription
        if answer is None:
            return ""
        in_video = False
        for line in answer.sdp.splitlines():
            if line.startswith("m="):
                in_video = line.startswith("m=video")
            elif in_video and line.startswith("a=rtpmap:"):
                return line.split(" ", 1)[1].split("/")[0]
        return ""

    def create_channel(self, settings):
        channel = self.pc.createDataChannel(settings["label"], ordered=settings.get("ordered", True),
                                            maxRetransmits=settings.get("maxRetransmits"),
                                            maxPacketLifeTime=settings.get("maxPacketLifeTime"),
                                            protocol=settings.get("protocol", ""))
        self.attach(channel, remote=False)

    def add_video(self, direction):
        if direction == "send":
            transceiver = self.pc.addTransceiver(PatternTrack(), direction="sendonly")
        else:
            transceiver = self.pc.addTransceiver("video", direction="recvonly")
        prefer_h264(transceiver)

    async def create_offer(self, msg):
        for settings in msg.get("channels", []):
            self.create_channel(settings)
        if msg.get("video"):
            self.add_video(msg["video"])
        await self.pc.setLocalDescription(await self.pc.createOffer())
        emit({"type": "offer", "sdp": self.pc.localDescription.sdp})

    async def answer(self, msg):
        await self.pc.setRemoteDescription(RTCSessionDescription(sdp=msg["sdp"], type="offer"))
        if msg.get("video") == "send":
            for t in self.pc.getTransceivers():
                if t.kind == "video":
                    t.sender.replaceTrack(PatternTrack())
                    t.direction = "sendonly"
                    prefer_h264(t)
        await self.pc.setLocalDescription(await self.pc.createAnswer())
        emit({"type": "answer", "sdp": self.pc.localDescription.sdp})

    async def add_candidate(self, msg):
        text = msg.get("candidate") or ""
        if text.startswith("a="):
            text = text[2:]
        if not text:
            # End of the remote candidates: told to every ICE transport (all of them when bundled).
            transports = []
            if self.pc.sctp:
                transports.append(self.pc.sctp.transport.transport)
            for t in self.pc.getTransceivers():
                transports.append(t.receiver.transport.transport)
            for ice in {id(t): t for t in transports}.values():
                await ice.addRemoteCandidate(None)
            return
        if text.startswith("candidate:"):
            text = text[len("candidate:"):]
        candidate = candidate_from_sdp(text)
        candidate.sdpMid = msg.get("mid")
        candidate.sdpMLineIndex = msg.get("mlineIndex")
        if candidate.sdpMid is None and candidate.sdpMLineIndex is None:
            candidate.sdpMLineIndex = 0
        await self.pc.addIceCandidate(candidate)

    async def handle(self, msg):
        kind = msg.get("type")
        cmd = msg.get("cmd")
        if kind == "offer":
            await self.answer(msg)
        elif kind == "answer":
            await self.pc.setRemoteDescription(RTCSessionDescription(sdp=msg["sdp"], type="answer"))
        elif kind == "candidate":
            await self.add_candidate(msg)
        elif cmd == "create-offer":
            await self.create_offer(msg)
        elif cmd == "create-channel":
            self.create_channel(msg)
        elif cmd == "send":
            channel = self.channels.get(msg["label"])
            if channel is None or channel.readyState != "open":
                emit({"event": "error", "message": "channel not open: %s" % msg["label"]})
                return
            data = base64.b64decode(msg["data"]) if msg.get("binary") else msg["data"]
            channel.send(data)
        elif cmd == "close-channel":
            channel = self.channels.get(msg["label"])
            if channel is None:
                emit({"event": "error", "message": "no channel %s" % msg["label"]})
                return
            channel.close()
        elif cmd == "echo":
            self.echo = bool(msg.get("enabled", True))
            emit({"event": "echo", "enabled": self.echo})
        elif cmd == "wait-video":
            self.video_waiters.append(int(msg.get("frames", 1)))
            self.report_video()
        elif cmd == "close":
            return False
        else:
            emit({"event": "error", "message": "unknown input: %s" % json.dumps(msg)})
        return True


def stdin_reader(loop, queue):
    for line in sys.stdin:
        line = line.strip()
        if line:
            loop.call_soon_threadsafe(queue.put_nowait, line)
    loop.call_soon_threadsafe(queue.put_nowait, None)


async def main():
    config = json.loads(sys.argv[1]) if len(sys.argv) > 1 else {}
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()
    threading.Thread(target=stdin_reader, args=(loop, queue), daemon=True).start()
    peer = Peer(config)
    emit({"event": "ready"})
    try:
        while True:
            line = await queue.get()
            if line is None:
                break
            try:
                msg = json.loads(line)
                if await peer.handle(msg) is False:
                    break
            except Exception as e:
                traceback.print_exc(file=sys.stderr)
                emit({"event": "error", "message": "%s: %s" % (type(e).__name__, e)})
    finally:
        await peer.pc.close()
        emit({"event": "closed"})


if __name__ == "__main__":
    asyncio.run(main())
