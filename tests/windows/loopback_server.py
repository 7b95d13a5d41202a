#!/usr/bin/python3
"""Scriptable HTTP/WebSocket server on 127.0.0.1 for the WinHTTP tests run under Wine.

HTTP behaviour is chosen by the request path, WebSocket behaviour by the bearer token of the
upgrade request, so the client under test needs no special hooks. Prints the listening port, a
port with no listener and the TLS port (serving the same with the certificate and key given as
arguments), one per line, then serves until stdin closes.
"""

import base64
import hashlib
import json
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time

WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
STOP = threading.Event()


def json_of_size(size):
    # {"p":"xxx..."} of exactly `size` bytes.
    return ('{"p":"' + "x" * (size - 8) + '"}').encode()


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def fill(self, wanted, timeout=30.0):
        self.sock.settimeout(timeout)
        while len(self.buffer) < wanted:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buffer += chunk

    def take(self, count, timeout=30.0):
        self.fill(count, timeout)
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def read_request(self):
        self.sock.settimeout(30.0)
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        method, target, _ = lines[0].split(" ", 2)
        headers = {}
        for line in lines[1:]:
            name, value = line.split(":", 1)
            headers.setdefault(name.strip().lower(), []).append(value.strip())
        length = int(headers.get("content-length", ["0"])[0])
        body = self.take(length) if length else b""
        return method, target, headers, body

    def respond(self, status, body=b"", extra=""):
        head = "HTTP/1.1 %d X\r\nContent-Length: %d\r\nConnection: close\r\n%s\r\n" % (status, len(body), extra)
        self.sock.sendall(head.encode() + body)

    def frame(self, opcode, payload, fin=True):
        first = (0x80 if fin else 0) | opcode
        size = len(payload)
        if size < 126:
            head = struct.pack("!BB", first, size)
        elif size < 65536:
            head = struct.pack("!BBH", first, 126, size)
        else:
            head = struct.pack("!BBQ", first, 127, size)
        self.sock.sendall(head + payload)

    def read_frame(self, timeout=30.0):
        first, second = self.take(2, timeout)
        size = second & 0x7F
        if size == 126:
            (size,) = struct.unpack("!H", self.take(2, timeout))
        elif size == 127:
            (size,) = struct.unpack("!Q", self.take(8, timeout))
        mask = self.take(4, timeout) if second & 0x80 else b"\0\0\0\0"
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(self.take(size, timeout)))
        return first & 0x0F, bool(first & 0x80), payload


def serve_http(conn, method, target, headers, body):
    if target == "/v1/echo":
        reply = {"method": method, "target": target, "body": body.decode("latin-1"),
                 "headers": {name: values for name, values in headers.items()}}
        conn.respond(200, json.dumps(reply).encode(), "Content-Type: application/json\r\n")
    elif target == "/v1/size":
        reply = {"size": len(body), "contentType": headers.get("content-type", [""])[0]}
        conn.respond(200, json.dumps(reply).encode())
    elif target == "/v1/created":
        conn.respond(201, b'{"id":"made"}')
    elif target == "/v1/missing":
        conn.respond(404, b'{"error":"not here"}')
    elif target == "/v1/no-content":
        conn.sock.sendall(b"HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n")
    elif target == "/v1/redirect":
        conn.respond(302, b"{}", "Location: /v1/created\r\n")
    elif target == "/v1/challenge":
        conn.respond(401, b"{}", "WWW-Authenticate: Negotiate\r\nWWW-Authenticate: NTLM\r\n")
    elif target == "/v1/largest":
        conn.respond(200, json_of_size(131072))
    elif target == "/v1/too-large":
        conn.respond(200, json_of_size(131073))
    elif target == "/v1/chunked":
        pieces = [b'{"a":', b'"' + b"y" * 20000 + b'"', b',"b":2}']
        out = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
        for piece in pieces:
            out += b"%x\r\n%s\r\n" % (len(piece), piece)
        conn.sock.sendall(out + b"0\r\n\r\n")
    elif target == "/v1/stall":
        # Never answers; gives up on the connection after 5 s.
        STOP.wait(5)
    else:
        conn.respond(400, b"{}")


def answer_close(conn):
    # Keeps reading like a well-behaved server and answers the client's close.
    while True:
        opcode, _, payload = conn.read_frame()
        if opcode == 0x8:
            conn.frame(0x8, payload[:2])
            return


def serve_websocket(conn, headers):
    auth = headers.get("authorization", [""])[0]
    scenario = auth[len("Bearer "):] if auth.startswith("Bearer ") else ""
    if scenario in ("reject-401", "reject-409"):
        conn.respond(int(scenario[-3:]), b'{"error":"no"}')
        return
    if headers.get("accept") != ["application/json"] or "content-type" in headers:
        conn.respond(400, b"{}")
        return
    key = headers["sec-websocket-key"][0]
    accept = base64.b64encode(hashlib.sha1((key + WS_GUID).encode()).digest()).decode()
    conn.sock.sendall(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Accept: %s\r\n\r\n" % accept).encode())
    text = 0x1
    if scenario == "echo":
        conn.frame(text, b'{"type":"hello"}')
        while True:
            opcode, fin, payload = conn.read_frame()
            if opcode == 0x8:
                conn.frame(0x8, payload[:2])
                return
            if opcode == text:
                kind = json.loads(payload).get("type")
                if kind == "big":
                    conn.frame(text, json.dumps({"type": "big-size", "size": len(payload), "fin": fin}).encode())
                elif kind == "heartbeat":
                    conn.frame(text, json.dumps({"type": "saw-heartbeat", "at": time.monotonic()}).encode())
                else:
                    conn.frame(text, json.dumps({"type": "echo", "got": payload.decode()}).encode())
    elif scenario == "fragments":
        message = json_of_size(131072)
        pieces = [message[i:i + 1000] for i in range(0, len(message), 1000)]
        for index, piece in enumerate(pieces):
            conn.frame(text if index == 0 else 0x0, piece, fin=index == len(pieces) - 1)
        conn.frame(text, b'{"type":"after"}')
        answer_close(conn)
    elif scenario == "over-limit":
        message = json_of_size(131073)
        conn.frame(text, message[:100000], fin=False)
        conn.frame(0x0, message[100000:], fin=True)
        answer_close(conn)
    elif scenario == "binary":
        conn.frame(0x2, b"\x01\x02\x03")
        answer_close(conn)
    elif scenario == "not-json":
        conn.frame(text, b"hello")
        answer_close(conn)
    elif scenario == "array":
        conn.frame(text, b"[1,2]")
        answer_close(conn)
    elif scenario == "server-close":
        conn.frame(0x8, struct.pack("!H", 1000))
        while conn.read_frame()[0] != 0x8:
            pass
    elif scenario == "drop":
        conn.sock.shutdown(socket.SHUT_RDWR)
    elif scenario == "unresponsive":
        # Reads nothing and never answers a close; gives up on the connection after 5 s.
        STOP.wait(5)
    else:
        conn.frame(0x8, struct.pack("!H", 1008))


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        conn = Connection(self.request)
        try:
            method, target, headers, body = conn.read_request()
            if headers.get("upgrade", [""])[0].lower() == "websocket":
                serve_websocket(conn, headers)
            else:
                serve_http(conn, method, target, headers, body)
        except (EOFError, OSError, ValueError):
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class TlsHandler(Handler):
    def setup(self):
        # The handshake runs on the connection's own thread, so a stalled client blocks nobody.
        self.request.settimeout(30.0)
        try:
            self.request.do_handshake()
        except (OSError, ssl.SSLError):
            self.request = None

    def handle(self):
        if self.request is not None:
            Handler.handle(self)


class TlsServer(Server):
    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def get_request(self):
        sock, address = super().get_request()
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address


def main():
    certificate, key = sys.argv[1], sys.argv[2]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    tls_server = TlsServer(("127.0.0.1", 0), TlsHandler, context)
    server = Server(("127.0.0.1", 0), Handler)
    unused = socket.socket()
    unused.bind(("127.0.0.1", 0))
    closed_port = unused.getsockname()[1]
    unused.close()
    print(server.server_address[1], flush=True)
    print(closed_port, flush=True)
    print(tls_server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Thread(target=tls_server.serve_forever, daemon=True).start()
    try:
        sys.stdin.read()
    except KeyboardInterrupt:
        pass
    STOP.set()
    server.shutdown()
    tls_server.shutdown()


if __name__ == "__main__":
    main()
