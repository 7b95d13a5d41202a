#!/usr/bin/python3
"""H.264 test clips for the video interop tests, made and checked with libavcodec (python3-av).

  h264_clip.py make OUT WIDTH HEIGHT FRAMES KEYINT
      Encodes a moving pattern with libx264 (Constrained Baseline, level 3.1 = profile-level-id
      42e01f, no B frames, SPS/PPS before every IDR) and writes each access unit in Annex-B form,
      preceded by its size as 4 bytes big-endian. Prints {"frames":N,"keyframes":K}.
  h264_clip.py decode IN
      Reads access units in the same framing, skips those before the first IDR, decodes the rest and
      prints {"units":N,"skipped":S,"frames":F,"width":W,"height":H,"errors":E}.
"""

import json
import struct
import sys

import av


def pattern(width, height, n):
    frame = av.VideoFrame(width, height, "yuv420p")
    y = bytearray(frame.planes[0].line_size * height)
    stride = frame.planes[0].line_size
    for r in range(height):
        base = r * stride
        for x in range(width):
            y[base + x] = ((x + r + n * 3) * 2) & 0xFF
    frame.planes[0].update(bytes(y))
    for p, value in ((frame.planes[1], (n * 5) & 0xFF), (frame.planes[2], 128)):
        p.update(bytes([value]) * (p.line_size * (height // 2)))
    return frame


def make(out, width, height, frames, keyint):
    codec = av.CodecContext.create("libx264", "w")
    codec.width = width
    codec.height = height
    codec.pix_fmt = "yuv420p"
    codec.time_base = "1/30"
    codec.framerate = 30
    codec.options = {"profile": "baseline", "level": "3.1", "preset": "ultrafast", "tune": "zerolatency",
                     "x264-params": "keyint=%d:min-keyint=%d:scenecut=0:bframes=0:repeat-headers=1" % (keyint, keyint)}
    units = []
    keyframes = 0
    for n in range(frames):
        f = pattern(width, height, n)
        f.pts = n
        for packet in codec.encode(f):
            units.append((bytes(packet), packet.is_keyframe))
    for packet in codec.encode(None):
        units.append((bytes(packet), packet.is_keyframe))
    with open(out, "wb") as fp:
        for data, key in units:
            keyframes += bool(key)
            fp.write(struct.pack(">I", len(data)) + data)
    print(json.dumps({"frames": len(units), "keyframes": keyframes}))


def nal_types(unit):
    types = []
    i = 0
    while True:
        i = unit.find(b"\x00\x00\x01", i)
        if i < 0 or i + 3 >= len(unit):
            return types
        types.append(unit[i + 3] & 0x1F)
        i += 3


def decode(path):
    with open(path, "rb") as fp:
        blob = fp.read()
    units = []
    pos = 0
    while pos + 4 <= len(blob):
        (size,) = struct.unpack(">I", blob[pos:pos + 4])
        units.append(blob[pos + 4:pos + 4 + size])
        pos += 4 + size
    codec = av.CodecContext.create("h264", "r")
    result = {"units": len(units), "skipped": 0, "frames": 0, "width": 0, "height": 0, "errors": 0}
    started = False
    for unit in units:
        if not started and 5 not in nal_types(unit):
            result["skipped"] += 1
            continue
        started = True
        try:
            for frame in codec.decode(av.Packet(unit)):
                result["frames"] += 1
                result["width"], result["height"] = frame.width, frame.height
        except av.AVError:
            result["errors"] += 1
    try:
        for frame in codec.decode(None):
            result["frames"] += 1
            result["width"], result["height"] = frame.width, frame.height
    except av.AVError:
        result["errors"] += 1
    print(json.dumps(result))


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]))
    elif sys.argv[1] == "decode":
        decode(sys.argv[2])
    else:
        sys.exit("usage: h264_clip.py make OUT W H FRAMES KEYINT | decode IN")
