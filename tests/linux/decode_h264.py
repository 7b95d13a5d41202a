#!/usr/bin/python3
"""Decodes an Annex-B H.264 file with PyAV, independently of the program's decoder wrapper.

Usage: decode_h264.py <stream.h264> <frames.bgra>
Writes every decoded picture as raw BGRA, one after the other, and prints
"<frames> <width> <height> <profile>" on one line.
"""
import sys

import av


def main():
    source, target = sys.argv[1], sys.argv[2]
    context = av.CodecContext.create("h264", "r")
    with open(source, "rb") as stream:
        data = stream.read()
    frames = []
    # parse(None) flushes the parser's last access unit.
    for packet in context.parse(data) + context.parse(None):
        frames.extend(context.decode(packet))
    frames.extend(context.decode(None))
    with open(target, "wb") as out:
        for frame in frames:
            out.write(frame.to_ndarray(format="bgra").tobytes())
    width = frames[0].width if frames else 0
    height = frames[0].height if frames else 0
    print(len(frames), width, height, context.profile.replace(" ", "_"))


if __name__ == "__main__":
    main()
