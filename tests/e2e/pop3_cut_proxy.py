#!/usr/bin/python3
"""A POP3 relay (STLS hidden) that prints "PORT n", cuts the --cut-retr'th RETR answer after
--cut-bytes bytes, prints "CUT" and relays faithfully from then on."""
import argparse
import socket
import sys
import threading

lock = threading.Lock()
retr_seen = 0


def relay(client, target, args):
    global retr_seen
    server = socket.create_connection(target)
    cutting = threading.Event()
    done = threading.Event()

    def close_both():
        done.set()
        for s in (client, server):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def upstream():
        global retr_seen
        buffered = b""
        try:
            while not done.is_set():
                data = client.recv(65536)
                if not data:
                    break
                buffered += data
                while b"\n" in buffered:
                    line, buffered = buffered.split(b"\n", 1)
                    if line.upper().startswith(b"RETR "):
                        with lock:
                            retr_seen += 1
                            if retr_seen == args.cut_retr:
                                cutting.set()
                server.sendall(data)
        except OSError:
            pass
        close_both()

    def downstream():
        sent = 0
        try:
            while not done.is_set():
                data = server.recv(65536)
                if not data:
                    break
                # No STLS in the capabilities: the relay must see the commands in clear.
                data = data.replace(b"STLS\r\n", b"")
                if cutting.is_set():
                    room = args.cut_bytes - sent
                    client.sendall(data[:room])
                    sent += min(len(data), room)
                    if sent >= args.cut_bytes:
                        print("CUT", flush=True)
                        break
                    continue
                client.sendall(data)
        except OSError:
            pass
        close_both()

    threads = [threading.Thread(target=upstream, daemon=True), threading.Thread(target=downstream, daemon=True)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    client.close()
    server.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--target-port", type=int, required=True)
    p.add_argument("--cut-retr", type=int, default=0)
    p.add_argument("--cut-bytes", type=int, default=4096)
    args = p.parse_args()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    target = ("127.0.0.1", args.target_port)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=relay, args=(client, target, args), daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
