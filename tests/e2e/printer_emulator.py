#!/usr/bin/env python3
"""A receipt and label printer for tests and benchmarks, standard library only.

It listens on a loopback TCP port (as a printer's raw port 9100 does) and on
a pseudo-terminal (as a serial printer does), records every byte it
receives, and answers status queries from its state the way printers do:

  ESC/POS  DLE EOT 1-4 (10 04 n), real time, even offline or inside data;
           GS r 1 / GS r 2 (1D 72 n), in buffer order: once what came
           before has "printed" (print_delay after print data), not while
           offline;
           GS ( H fn 48 (1D 28 48 06 00 30 30 d1 d2 d3 d4), when "printing"
           of what came before is done: 37 22 d1 d2 d3 d4 00 (never when the
           printer went offline meanwhile).
  Star     ESC ACK SOH (1B 06 01): a 9-byte automatic status block.
  ZPL      ~HQES (errors and warnings) and ~HS (three lines; none while
           media out or head open; each format, ending in ^XZ, is one label
           that remains for print_delay), in ZPL mode only: an ESC/POS
           printer prints those as text.

The printer goes offline when it is switched offline, its cover opens, its
paper runs out or its cutter jams, as real printers do.

Use in-process:

    emu = PrinterEmulator(); emu.start()
    emu.set(paper="out"); ... emu.tcp_port, emu.pty_path, emu.received()
    emu.stop()

or as a program (prints one JSON line with "tcp_port", "pty" and
"control_port" once ready, then serves until SIGTERM or stdin's end with
--until-stdin-closes). The control port takes one JSON object per line and
answers one per line:

    {"cmd": "set", "paper": "out"}   -> {"ok": true}
    {"cmd": "received"}              -> {"ok": true, "hex": "1004011004..."}
    {"cmd": "clear"}                 -> {"ok": true}
    {"cmd": "state"}                 -> {"ok": true, "state": {...}}
"""

import argparse
import json
import os
import pty
import select
import signal
import socket
import sys
import threading
import time
import tty

# The state a test can set, and its defaults.
DEFAULT_STATE = {
    "online": True,          # the printer's own switch (ZPL: not paused)
    "cover_open": False,
    "paper": "ok",           # "ok" | "near_end" | "out"
    "cutter_error": False,
    "drawer_pin3_high": False,
    "silent": False,         # answers nothing at all
    "reply_delay": 0.0,      # seconds before each answer
    "print_delay": 0.05,     # seconds the printing of a job takes (GS ( H, GS r after data, ZPL labels)
    "gs_h_supported": True,  # some models ignore GS ( H
    "zpl": False,            # speaks ZPL instead of ESC/POS
}

GS_H_PREFIX = bytes([0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30])


class PrinterEmulator:
    def __init__(self, tcp=True, pseudo_terminal=True, control=False, **state):
        self._lock = threading.Lock()
        self._state = dict(DEFAULT_STATE)
        self._set(state)
        self._received = bytearray()
        self._labels_due = []  # ZPL: when each label received finishes printing
        self._want_tcp = tcp
        self._want_pty = pseudo_terminal
        self._want_control = control
        self._stopping = threading.Event()
        self._threads = []
        self._sockets = []
        self.tcp_port = None
        self.pty_path = None
        self.control_port = None
        self._master = None
        self._slave = None

    # ---- control -----------------------------------------------------------

    def set(self, **changes):
        with self._lock:
            self._set(changes)

    def _set(self, changes):
        for key, value in changes.items():
            if key not in DEFAULT_STATE:
                raise KeyError("unknown printer state: " + key)
            if key == "paper" and value not in ("ok", "near_end", "out"):
                raise ValueError("paper must be ok, near_end or out")
            self._state[key] = value

    def state(self):
        with self._lock:
            return dict(self._state)

    def received(self):
        with self._lock:
            return bytes(self._received)

    def clear(self):
        with self._lock:
            self._received.clear()
            self._labels_due.clear()

    def format_received(self):
        with self._lock:
            self._labels_due.append(time.monotonic() + self._state["print_delay"])

    def labels_remaining(self):
        with self._lock:
            now = time.monotonic()
            self._labels_due = [due for due in self._labels_due if due > now]
            return len(self._labels_due)

    # ---- life --------------------------------------------------------------

    def start(self):
        if self._want_tcp:
            self.tcp_port = self._listen(self._serve_connection)
        if self._want_pty:
            self._master, self._slave = pty.openpty()
            tty.setraw(self._slave)
            self.pty_path = os.ttyname(self._slave)
            self._spawn(self._serve_pty)
        if self._want_control:
            self.control_port = self._listen(self._serve_control)
        return self

    def _listen(self, serve):
        """A loopback listener whose connections `serve` takes; its port."""
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        self._sockets.append(listener)
        self._spawn(self._accept_loop, listener, serve)
        return listener.getsockname()[1]

    def stop(self):
        self._stopping.set()
        for s in self._sockets:
            try:
                s.close()
            except OSError:
                pass
        for t in self._threads:
            t.join(timeout=2)
        for fd in (self._master, self._slave):
            if fd is not None:
                try:
                    os.close(fd)
                except OSError:
                    pass

    def _spawn(self, target, *args):
        t = threading.Thread(target=target, args=args, daemon=True)
        t.start()
        self._threads.append(t)

    def _accept_loop(self, listener, serve):
        while not self._stopping.is_set():
            ready, _, _ = select.select([listener], [], [], 0.1)
            if not ready:
                continue
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            self._spawn(serve, conn)

    def _serve_control(self, conn):
        with conn, conn.makefile("rwb") as stream:
            for line in stream:
                try:
                    request = json.loads(line)
                    cmd = request.pop("cmd")
                    if cmd == "set":
                        self.set(**request)
                        answer = {"ok": True}
                    elif cmd == "received":
                        answer = {"ok": True, "hex": self.received().hex()}
                    elif cmd == "clear":
                        self.clear()
                        answer = {"ok": True}
                    elif cmd == "state":
                        answer = {"ok": True, "state": self.state()}
                    else:
                        answer = {"ok": False, "error": "unknown command"}
                except (ValueError, KeyError, TypeError) as e:
                    answer = {"ok": False, "error": str(e)}
                stream.write(json.dumps(answer).encode() + b"\n")
                stream.flush()

    # ---- the printer ---------------------------------------------------------

    def _serve_connection(self, conn):
        parser = _Parser(self, conn.sendall)
        with conn:
            while not self._stopping.is_set():
                ready, _, _ = select.select([conn], [], [], 0.1)
                if not ready:
                    continue
                try:
                    data = conn.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                parser.feed(data)

    def _serve_pty(self):
        master = self._master

        def write(data):
            os.write(master, data)

        parser = _Parser(self, write)
        while not self._stopping.is_set():
            ready, _, _ = select.select([master], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(master, 65536)
            except OSError:
                # The other end closed; the slave this emulator holds keeps
                # the terminal for the next opener.
                time.sleep(0.01)
                continue
            if data:
                parser.feed(data)

    def _offline(self, s):
        return not s["online"] or s["cover_open"] or s["paper"] == "out" or s["cutter_error"]

    def _record(self, data):
        with self._lock:
            self._received.extend(data)

    def dle_eot(self, n):
        s = self.state()
        near = s["paper"] in ("near_end", "out")
        out = s["paper"] == "out"
        if n == 1:
            return 0x12 | (0x04 if s["drawer_pin3_high"] else 0) | (0x08 if self._offline(s) else 0)
        if n == 2:
            return 0x12 | (0x04 if s["cover_open"] else 0) | (0x20 if out else 0) | (0x40 if s["cutter_error"] else 0)
        if n == 3:
            return 0x12 | (0x08 if s["cutter_error"] else 0)
        return 0x12 | (0x0C if near else 0) | (0x60 if out else 0)

    def gs_r(self, n):
        s = self.state()
        if self._offline(s):
            return None  # not executed while offline
        if n == 1:
            return (0x03 if s["paper"] == "near_end" else 0) | (0x0C if s["paper"] == "out" else 0)
        return 0x01 if s["drawer_pin3_high"] else 0x00

    def star_block(self):
        s = self.state()
        printer = (0x08 if self._offline(s) else 0) | (0x20 if s["cover_open"] else 0)
        if not s["online"]:
            printer |= 0x40  # offline by switch
        errors = 0x08 if s["cutter_error"] else 0
        paper = (0x04 if s["paper"] == "near_end" else 0) | (0x08 if s["paper"] == "out" else 0)
        # Header 1 announces 9 bytes; header 2 is version 3.
        return bytes([0x23, 0x06, printer, errors, 0x00, paper, 0x00, 0x00, 0x00])

    def zpl_hqes(self):
        s = self.state()
        flags = (0x1 if s["paper"] == "out" else 0) | (0x4 if s["cover_open"] else 0) | (
            0x8 if s["cutter_error"] else 0)
        return ("\x02\r\n PRINTER STATUS\r\n   ERRORS:         %d 00000000 %08X\r\n"
                "   WARNINGS:       0 00000000 00000000\r\n\x03\r\n" % (1 if flags else 0, flags)).encode()

    def zpl_hs(self):
        s = self.state()
        if s["paper"] == "out" or s["cover_open"]:
            return None  # no answer while media out or head open
        paused = 0 if s["online"] else 1
        return ("\x02030,0,%d,1245,000,0,0,0,000,0,0,0\x03\r\n"
                "\x02000,0,0,0,1,2,4,0,%08d,1,000\x03\r\n"
                "\x021234,0\x03\r\n" % (paused, self.labels_remaining())).encode()


class _Parser:
    """Finds the commands in one connection's byte stream and answers them."""

    def __init__(self, emulator, write):
        self._emu = emulator
        self._write = write
        self._tail = bytearray()  # the last bytes, enough to hold any command
        self._printing_until = 0.0  # when the print data received so far is printed

    # The last byte of every command: only these can end one.
    _FINAL = frozenset([1, 2, 3, 4, 49, 50]) | frozenset(b"SE")

    def feed(self, data):
        self._emu._record(data)
        # Data takes print_delay to print; what follows it in the buffer waits.
        self._printing_until = time.monotonic() + self._emu.state()["print_delay"]
        for b in data:
            self._tail.append(b)
            if len(self._tail) > 64:
                del self._tail[:-16]
            if b == 0x5A and bytes(self._tail[-3:]) == b"^XZ" and self._emu.state()["zpl"]:
                self._emu.format_received()
            # Any byte may be the last of a GS ( H; the others end in few values.
            if b in self._FINAL or (len(self._tail) >= 11 and self._tail[-11] == 0x1D):
                self._match()

    def _answer(self, reply, delay=None):
        if reply is None:
            return
        s = self._emu.state()
        if s["silent"]:
            return
        wait = s["reply_delay"] if delay is None else delay
        if wait > 0:
            time.sleep(wait)
        try:
            self._write(reply)
        except OSError:
            pass

    def _after_printing(self, reply_of):
        """Answers reply_of() once what came before has printed, unless the
        printer is offline then (a cover opened meanwhile)."""
        def fire():
            s = self._emu.state()
            if not self._emu._offline(s):
                reply = reply_of()
                self._answer(None if reply is None else bytes([reply]) if isinstance(reply, int) else reply, 0)
        wait = max(0.0, self._printing_until - time.monotonic())
        timer = threading.Timer(wait, fire)
        timer.daemon = True
        timer.start()

    def _match(self):
        t = self._tail[-16:]
        s = self._emu.state()
        if len(t) >= 3 and t[-3] == 0x10 and t[-2] == 0x04 and 1 <= t[-1] <= 4:
            self._answer(bytes([self._emu.dle_eot(t[-1])]))
        elif len(t) >= 3 and t[-3] == 0x1D and t[-2] == 0x72 and t[-1] in (1, 2, 49, 50):
            n = t[-1] & 0x0F
            if self._printing_until > time.monotonic():
                self._after_printing(lambda: self._emu.gs_r(n))
            else:
                reply = self._emu.gs_r(n)
                self._answer(None if reply is None else bytes([reply]))
        elif len(t) >= 11 and bytes(t[-11:-4]) == GS_H_PREFIX:
            if s["gs_h_supported"] and not self._emu._offline(s) and not s["silent"]:
                reply = bytes([0x37, 0x22]) + bytes(t[-4:]) + b"\x00"
                self._printing_until = time.monotonic() + s["print_delay"]
                self._after_printing(lambda: reply)
        elif len(t) >= 3 and bytes(t[-3:]) == b"\x1b\x06\x01":
            if not s["zpl"]:
                self._answer(self._emu.star_block())
        elif s["zpl"] and bytes(t[-5:]) == b"~HQES":
            self._answer(self._emu.zpl_hqes())
        elif s["zpl"] and bytes(t[-3:]) == b"~HS":
            self._answer(self._emu.zpl_hs())


def control(port, **request):
    """Sends one command to an emulator's control port; its answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as conn, conn.makefile("rwb") as stream:
        stream.write(json.dumps(request).encode() + b"\n")
        stream.flush()
        return json.loads(stream.readline())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zpl", action="store_true", help="speak ZPL instead of ESC/POS")
    parser.add_argument("--no-tcp", action="store_true")
    parser.add_argument("--no-pty", action="store_true")
    parser.add_argument("--until-stdin-closes", action="store_true",
                        help="stop when standard input ends (a parent that dies stops it)")
    args = parser.parse_args()
    emu = PrinterEmulator(tcp=not args.no_tcp, pseudo_terminal=not args.no_pty, control=True, zpl=args.zpl)
    emu.start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    print(json.dumps({"tcp_port": emu.tcp_port, "pty": emu.pty_path, "control_port": emu.control_port}),
          flush=True)
    if args.until_stdin_closes:
        threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    while not stop.wait(0.2):
        pass
    emu.stop()


if __name__ == "__main__":
    main()
