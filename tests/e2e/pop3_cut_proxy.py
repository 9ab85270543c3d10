#!/usr/bin/python3
"""POP3 relay: pop3_cut_proxy.py TARGET_PORT CUT_RETR CUT_BYTES. Prints "PORT n", hides STLS,
cuts the CUT_RETR'th RETR answer after CUT_BYTES bytes, prints "CUT" and relays faithfully after."""
import socket
import sys
import threading

target_port, cut_retr, cut_bytes = (int(a) for a in sys.argv[1:4])
lock = threading.Lock()
retr_seen = 0


def pump(source, sink, upstream, cutting, both):
    global retr_seen
    sent = 0
    try:
        while data := source.recv(65536):
            if upstream:
                for line in data.split(b"\n"):
                    with lock:
                        if line.upper().startswith(b"RETR "):
                            retr_seen += 1
                            if retr_seen == cut_retr:
                                cutting.set()
            else:
                data = data.replace(b"STLS\r\n", b"")  # the relay must see the commands in clear
                if cutting.is_set():
                    data = data[: cut_bytes - sent]
                    sent += len(data)
            sink.sendall(data)
            if sent >= cut_bytes:
                print("CUT", flush=True)
                break
    except OSError:
        pass
    for s in both:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def relay(client):
    with client, socket.create_connection(("127.0.0.1", target_port)) as server:
        cutting = threading.Event()
        threads = [threading.Thread(target=pump, args=(a, b, a is client, cutting, (client, server)), daemon=True)
                   for a, b in ((client, server), (server, client))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()


listener = socket.create_server(("127.0.0.1", 0))
print("PORT %d" % listener.getsockname()[1], flush=True)
while True:
    threading.Thread(target=relay, args=(listener.accept()[0],), daemon=True).start()
