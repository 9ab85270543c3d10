#!/usr/bin/python3
"""A POP3 server that greets and then never answers: pop3_silent_server.py. Prints "PORT n",
then "CONNECTED" for each client; reads and ignores whatever a client sends, until killed."""
import socket
import threading

server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", 0))
server.listen(8)
print("PORT", server.getsockname()[1], flush=True)


def serve(conn):
    try:
        conn.sendall(b"+OK ready\r\n")
        print("CONNECTED", flush=True)
        while conn.recv(4096):
            pass
    except OSError:
        pass
    conn.close()


while True:
    client, _ = server.accept()
    threading.Thread(target=serve, args=(client,), daemon=True).start()
