#!/usr/bin/python3
"""Relays for TLS tests. Prints "PORT n" once listening.

  tls_relay.py strip TARGET_PORT RECORD
      Plain relay that hides STARTTLS: the server's "STLS" and "STARTTLS" capabilities become
      "XXXX" and "XXXXXXXX" (the reply framing stays intact); every byte the client sends is
      appended to RECORD.
  tls_relay.py terminate TARGET_PORT CERT KEY [CERT2 KEY2]
      Implicit-TLS front for a plain server, with CERT; after a line "switch" on standard input
      new connections get CERT2 instead ("SWITCHED" is printed).
"""
import socket
import ssl
import sys
import threading

mode, target_port = sys.argv[1], int(sys.argv[2])
record_lock = threading.Lock()


def pump(source, sink, rewrite, record):
    try:
        while data := source.recv(65536):
            if rewrite:
                data = data.replace(b"STLS\r\n", b"XXXX\r\n").replace(b"STARTTLS\r\n", b"XXXXXXXX\r\n")
            if record:
                with record_lock, open(record, "ab") as f:
                    f.write(data)
            sink.sendall(data)
    except OSError:
        pass
    for s in (source, sink):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def relay(client, record):
    try:
        with client, socket.create_connection(("127.0.0.1", target_port)) as server:
            threads = [threading.Thread(target=pump, args=(client, server, False, record), daemon=True),
                       threading.Thread(target=pump, args=(server, client, mode == "strip", None), daemon=True)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
    except OSError:
        pass


def context(cert, key):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    return ctx


listener = socket.create_server(("127.0.0.1", 0))
print("PORT %d" % listener.getsockname()[1], flush=True)
if mode == "strip":
    record = sys.argv[3]
    while True:
        threading.Thread(target=relay, args=(listener.accept()[0], record), daemon=True).start()
else:
    contexts = [context(sys.argv[3], sys.argv[4])]
    if len(sys.argv) > 6:
        second = context(sys.argv[5], sys.argv[6])

        def switch():
            for line in sys.stdin:
                if line.strip() == "switch":
                    contexts[0] = second
                    print("SWITCHED", flush=True)

        threading.Thread(target=switch, daemon=True).start()

    def serve(raw):
        try:
            client = contexts[0].wrap_socket(raw, server_side=True)
        except (OSError, ssl.SSLError):
            raw.close()
            return
        relay(client, None)

    while True:
        threading.Thread(target=serve, args=(listener.accept()[0],), daemon=True).start()
