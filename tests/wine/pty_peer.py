#!/usr/bin/env python3
"""The far end of a COM port under wine: a pseudo-terminal of our own behind the port's link.

    pty_peer.py LINK DOSDEVICE -- PROGRAM ARGS...

Runs PROGRAM with INI4ZAV_PTY_PEER set to a TCP port on 127.0.0.1 where it takes commands, one a line,
and answers one line each ("ok ..." or "err ..."):
    new          a fresh pseudo-terminal (raw), LINK pointed at its slave; answers "ok LINK SLAVE" once
                 DOSDEVICE (the prefix's device link of the COM port) leads to LINK and LINK to the slave
    echo         sends back everything the port writes
    send HEX     writes the bytes to the port
    termios      "ok SPEED CFLAG IFLAG VSTART VSTOP" of the slave as the port set it
    ser2net      starts Debian's ser2net serving the pseudo-terminal by Telnet with the COM port option on
                 127.0.0.1; answers "ok PORT"
    vanish       closes the pseudo-terminal: the port's device is gone
    remove       removes LINK: the port's device does not exist
The program's exit code is ours.
"""
import os
import shutil
import socket
import subprocess
import sys
import termios
import tempfile
import threading
import time
import tty


class Peer:
    def __init__(self, link, dosdevice):
        self.link, self.dosdevice = link, dosdevice
        self.master = self.slave = -1
        self.lock = threading.Lock()
        self.ser2net = None
        self.folder = tempfile.mkdtemp(prefix="ptypeer")

    def close(self):
        with self.lock:
            for fd in (self.master, self.slave):
                if fd >= 0:
                    os.close(fd)
            self.master = self.slave = -1

    def new(self):
        self.close()
        master, slave = os.openpty()
        tty.setraw(slave)
        name = os.ttyname(slave)
        tmp = self.link + ".new"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(name, tmp)
        os.replace(tmp, self.link)
        with self.lock:
            self.master, self.slave = master, slave
        if os.readlink(self.dosdevice) != self.link or os.readlink(self.link) != name:
            return "err the COM port does not lead to " + name
        return "ok %s %s" % (self.link, name)

    def echo(self):
        master = self.master
        def run():
            try:
                while True:
                    data = os.read(master, 65536)
                    if not data:
                        return
                    os.write(master, data)
            except OSError:
                return
        threading.Thread(target=run, daemon=True).start()
        return "ok"

    def start_ser2net(self):
        binary = shutil.which("ser2net") or "/usr/sbin/ser2net"
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        config = os.path.join(self.folder, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("%%YAML 1.1\n---\nconnection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,9600n81,local\n" % (port, os.ttyname(self.slave)))
        self.ser2net = subprocess.Popen([binary, "-n", "-d", "-c", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return "ok %d" % port
            except OSError:
                time.sleep(0.05)
        return "err ser2net does not listen"

    def stop(self):
        if self.ser2net:
            self.ser2net.kill()
            self.ser2net.wait()
        shutil.rmtree(self.folder, ignore_errors=True)

    def handle(self, line):
        cmd, _, arg = line.partition(" ")
        if cmd == "new":
            return self.new()
        if self.master < 0 and cmd in ("echo", "send", "termios", "ser2net"):
            return "err no pseudo-terminal"
        if cmd == "echo":
            return self.echo()
        if cmd == "send":
            os.write(self.master, bytes.fromhex(arg))
            return "ok"
        if cmd == "termios":
            iflag, _, cflag, _, _, ospeed, cc = termios.tcgetattr(self.slave)
            return "ok %d %d %d %d %d" % (ospeed, cflag, iflag, ord(cc[termios.VSTART]), ord(cc[termios.VSTOP]))
        if cmd == "ser2net":
            return self.start_ser2net()
        if cmd == "vanish":
            self.close()
            return "ok"
        if cmd == "remove":
            self.close()
            if os.path.lexists(self.link):
                os.unlink(self.link)
            return "ok"
        return "err unknown command " + cmd


def serve(peer, server):
    while True:
        conn, _ = server.accept()
        with conn, conn.makefile("rw", newline="\n") as f:
            for line in f:
                try:
                    answer = peer.handle(line.strip())
                except OSError as e:
                    answer = "err " + str(e)
                f.write(answer + "\n")
                f.flush()


def main():
    sep = sys.argv.index("--")
    link, dosdevice = sys.argv[1:sep]
    program = sys.argv[sep + 1:]
    peer = Peer(link, dosdevice)
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    threading.Thread(target=serve, args=(peer, server), daemon=True).start()
    env = dict(os.environ, INI4ZAV_PTY_PEER=str(server.getsockname()[1]))
    code = subprocess.call(program, env=env)
    peer.stop()
    peer.close()
    if os.path.lexists(link):
        os.unlink(link)
    sys.exit(code)


if __name__ == "__main__":
    main()
