#!/usr/bin/env python3
"""TLS peers nginx cannot play, for test_tls, on 127.0.0.1 (one port each):
stall (never answers the handshake), hangup (closes after the ClientHello),
cut (one whole record, then half a record and a close), eof (one record, then a
TCP close without close_notify), sink (reads "N\\n" and N bytes of the served files'
pattern, answers "N ok\\n" or "N bad AT\\n"), noread (completes the handshake, then never reads),
tls11 (TLS 1.1 only, which clients here must refuse), notify (one record and a
close_notify, then keeps the TCP connection open), trickle (reads a request,
then sends a response head one byte every 300 ms), tls10 (TLS 1.0 only at
security level 0, as old cameras speak it; answers a request with "TLS 1.0").
Usage: tls_peer.py DIR LIFETIME_S   (DIR holds trusted.pem/.key; writes DIR/peer.ports)
"""
import os
import socket
import ssl
import sys
import threading
import time

DIR = sys.argv[1]
LIFETIME = float(sys.argv[2])
PERIOD = bytes(((x * 131) + (x >> 9)) & 0xFF for x in range(65521))  # as in peers.sh
held = []  # connections kept open on purpose (stall, noread)

ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(os.path.join(DIR, "trusted.pem"), os.path.join(DIR, "trusted.key"))
# Set on the context itself, so the system's minimum (TLS 1.2 on Debian) does not apply.
ctx11 = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx11.load_cert_chain(os.path.join(DIR, "trusted.pem"), os.path.join(DIR, "trusted.key"))
ctx11.set_ciphers("DEFAULT:@SECLEVEL=0")
ctx11.minimum_version = ssl.TLSVersion.TLSv1_1
ctx11.maximum_version = ssl.TLSVersion.TLSv1_1
ctx10 = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx10.load_cert_chain(os.path.join(DIR, "trusted.pem"), os.path.join(DIR, "trusted.key"))
ctx10.set_ciphers("DEFAULT:@SECLEVEL=0")
ctx10.minimum_version = ssl.TLSVersion.TLSv1
ctx10.maximum_version = ssl.TLSVersion.TLSv1


def flush(conn, out):
    data = out.read()
    if data:
        conn.sendall(data)


def handshake(conn, context=ctx):
    inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
    obj = context.wrap_bio(inc, out, server_side=True)
    while True:
        try:
            obj.do_handshake()
            break
        except ssl.SSLWantReadError:
            flush(conn, out)
            data = conn.recv(65536)
            if not data:
                raise EOFError("closed during handshake")
            inc.write(data)
    flush(conn, out)
    return obj, inc, out


def read_exactly(conn, obj, inc, out, n):
    got = b""
    while len(got) < n:
        try:
            got += obj.read(n - len(got))
        except ssl.SSLWantReadError:
            flush(conn, out)
            data = conn.recv(65536)
            if not data:
                raise EOFError("closed")
            inc.write(data)
    return got


def end_without_reset(conn):
    # Nothing unread may be left behind, or close() would send a reset.
    conn.shutdown(socket.SHUT_WR)
    conn.settimeout(2)
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass
    conn.close()


def serve_stall(conn):
    held.append(conn)


def serve_hangup(conn):
    conn.recv(65536)
    conn.close()


def serve_cut(conn):
    obj, inc, out = handshake(conn)
    obj.write(b"first record\n")
    flush(conn, out)
    obj.write(b"x" * 1000)
    record = out.read()
    conn.sendall(record[: len(record) // 2])
    time.sleep(0.2)
    end_without_reset(conn)


def serve_eof(conn):
    obj, inc, out = handshake(conn)
    obj.write(b"all of it\n")
    flush(conn, out)
    time.sleep(0.2)
    end_without_reset(conn)


def serve_sink(conn):
    obj, inc, out = handshake(conn)
    line = b""
    while not line.endswith(b"\n") and len(line) < 32:
        line += read_exactly(conn, obj, inc, out, 1)
    n = int(line)
    got = read_exactly(conn, obj, inc, out, n)
    expected = (PERIOD * (n // len(PERIOD) + 1))[:n]
    if got == expected:
        obj.write(b"%d ok\n" % n)
    else:
        at = next(i for i in range(n) if got[i] != expected[i])
        obj.write(b"%d bad %d\n" % (n, at))
    try:
        obj.unwrap()
    except ssl.SSLWantReadError:
        pass  # our close_notify is out; the client's answer is not awaited
    flush(conn, out)
    end_without_reset(conn)


def serve_notify(conn):
    obj, inc, out = handshake(conn)
    obj.write(b"said goodbye\n")
    try:
        obj.unwrap()
    except ssl.SSLWantReadError:
        pass  # the close_notify is out; the client's is not awaited
    flush(conn, out)
    held.append(conn)


def serve_trickle(conn):
    obj, inc, out = handshake(conn)
    request = b""
    while not request.endswith(b"\r\n\r\n") and len(request) < 65536:
        request += read_exactly(conn, obj, inc, out, 1)
    for byte in b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX-Slow: trickled\r\n\r\n":
        obj.write(bytes([byte]))
        flush(conn, out)
        time.sleep(0.3)
    end_without_reset(conn)


def serve_tls10(conn):
    obj, inc, out = handshake(conn, ctx10)
    request = b""
    while not request.endswith(b"\r\n\r\n") and len(request) < 65536:
        request += read_exactly(conn, obj, inc, out, 1)
    obj.write(b"HTTP/1.1 200 OK\r\nContent-Length: 8\r\nConnection: close\r\n\r\nTLS 1.0\n")
    flush(conn, out)
    end_without_reset(conn)


def serve_noread(conn):
    handshake(conn)
    held.append(conn)


def serve_tls11(conn):
    obj, inc, out = handshake(conn, ctx11)
    obj.write(b"TLS 1.1\n")
    flush(conn, out)
    end_without_reset(conn)


def listen(name, handler, ports):
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(64)
    ports[name] = srv.getsockname()[1]

    def loop():
        while True:
            conn, _ = srv.accept()
            threading.Thread(target=guarded, args=(handler, conn), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()


def guarded(handler, conn):
    try:
        handler(conn)
    except (OSError, EOFError, ssl.SSLError, ValueError) as e:
        print("peer %s: %s" % (handler.__name__, e), flush=True)
        conn.close()


def main():
    ports = {}
    for name, handler in (("stall", serve_stall), ("hangup", serve_hangup), ("cut", serve_cut),
                          ("eof", serve_eof), ("sink", serve_sink), ("noread", serve_noread),
                          ("tls11", serve_tls11), ("notify", serve_notify),
                          ("trickle", serve_trickle), ("tls10", serve_tls10)):
        listen(name, handler, ports)
    part = os.path.join(DIR, "peer.ports.part")
    with open(part, "w") as f:
        for name, port in ports.items():
            f.write("%s %d\n" % (name, port))
    os.rename(part, os.path.join(DIR, "peer.ports"))
    time.sleep(LIFETIME)  # then the daemon threads end with the process


main()
