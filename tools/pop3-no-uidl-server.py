#!/usr/bin/python3
"""A minimal POP3 server for tests of clients facing an old server: USER/PASS only, no UIDL,
no CAPA, no STLS. Serves the files given on the command line as messages 1..n; DELE takes
effect at QUIT, when the remaining files' names are written to <state>.remaining.
Prints the listening port on stdout, then serves until killed.

    pop3-no-uidl-server.py USER PASSWORD STATEFILE MESSAGE...
"""
import socketserver
import sys

USER, PASSWORD, STATE = sys.argv[1], sys.argv[2], sys.argv[3]
FILES = list(sys.argv[4:])


def load(path):
    with open(path, "rb") as f:
        data = f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data if data.endswith(b"\r\n") else data + b"\r\n"


class Session(socketserver.StreamRequestHandler):
    def send(self, line):
        self.wfile.write(line.encode() + b"\r\n")

    def multiline(self, data):
        for line in data.split(b"\r\n")[:-1]:
            self.wfile.write((b"." + line if line.startswith(b".") else line) + b"\r\n")
        self.wfile.write(b".\r\n")

    def handle(self):
        alive = [p for p in FILES]
        deleted = set()
        user = None
        authed = False
        self.send("+OK old POP3 server ready")
        for raw in self.rfile:
            words = raw.decode("latin-1").strip().split()
            if not words:
                continue
            cmd, args = words[0].upper(), words[1:]
            if cmd == "QUIT":
                remaining = [p for i, p in enumerate(alive, 1) if i not in deleted]
                FILES[:] = remaining
                with open(STATE + ".remaining", "w") as f:
                    f.write("\n".join(remaining))
                self.send("+OK bye")
                return
            if not authed:
                if cmd == "USER":
                    user = args[0] if args else None
                    self.send("+OK")
                elif cmd == "PASS" and user == USER and " ".join(args) == PASSWORD:
                    authed = True
                    self.send("+OK logged in")
                else:
                    self.send("-ERR not allowed")
                continue
            number = int(args[0]) if args and args[0].isdigit() else 0
            valid = 1 <= number <= len(alive) and number not in deleted
            if cmd == "STAT":
                self.send("+OK %d 0" % (len(alive) - len(deleted)))
            elif cmd == "LIST" and not args:
                self.send("+OK")
                self.multiline(b"".join(b"%d %d\r\n" % (i, len(load(p)))
                                        for i, p in enumerate(alive, 1) if i not in deleted))
            elif cmd in ("RETR", "TOP") and valid:
                data = load(alive[number - 1])
                if cmd == "TOP":
                    data = data.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
                self.send("+OK")
                self.multiline(data)
            elif cmd == "DELE" and valid:
                deleted.add(number)
                self.send("+OK deleted")
            elif cmd == "NOOP":
                self.send("+OK")
            else:
                self.send("-ERR unknown command or no such message")


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


with Server(("127.0.0.1", 0), Session) as server:
    print(server.server_address[1], flush=True)
    server.serve_forever()
