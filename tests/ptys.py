#!/usr/bin/env python3
"""Pseudo-terminals standing in for what the ends test needs around the real program.

  ptys.py module DIR    a CH340 module of 8 relays that answers the status request (its pty named
                        in DIR/module) and a terminal (named in DIR/terminal, its output in
                        DIR/terminal.out); commands, one a line, in the FIFO DIR/commands: "mute"
                        (it stops answering, and goes on switching), "stop-module", "stop-terminal"
                        (output stopped, as Ctrl-S does)
  ptys.py chatter DIR   a device that prints a reading every 20 ms and answers nothing
  ptys.py terminal DIR -- COMMAND...
                        COMMAND in the background of a terminal's session with tostop; its output
                        in DIR/terminal.out

Whatever happens is a line in DIR/events once it is done: "relays XX" (hex) at every change,
"asked" at every status request, "done COMMAND", "pid N", "exit STATUS".
"""
import fcntl
import os
import select
import signal
import sys
import termios
import time
import tty


def event(folder, line):
    with open(os.path.join(folder, "events"), "a") as events:
        events.write(line + "\n")


def announce(folder, name, slave):
    path = os.path.join(folder, name)
    with open(path + ".new", "w") as named:
        named.write(os.ttyname(slave) + "\n")
    os.rename(path + ".new", path)


def module(folder, chatter):
    master, slave = os.openpty()
    tty.setraw(slave)  # a serial port echoes nothing back, before the program's settings or after
    terminal, terminal_slave = os.openpty()
    for fd in (master, terminal):
        os.set_blocking(fd, False)
    commands_path = os.path.join(folder, "commands")
    os.mkfifo(commands_path)
    commands = os.open(commands_path, os.O_RDWR | os.O_NONBLOCK)
    out = open(os.path.join(folder, "terminal.out"), "ab", buffering=0)
    announce(folder, "terminal", terminal_slave)
    announce(folder, "module", slave)
    relays, frame, muted, pending = 0, b"", False, b""
    next_reading = time.monotonic()
    while True:
        timeout = max(0.0, next_reading - time.monotonic()) if chatter else None
        ready, _, _ = select.select([master, terminal, commands], [], [], timeout)
        if chatter and time.monotonic() >= next_reading:
            next_reading += 0.02
            try:
                os.write(master, b"T=21.5\r\n")
            except OSError:
                pass
        if terminal in ready:
            try:
                out.write(os.read(terminal, 65536))
            except OSError:
                time.sleep(0.02)  # its other end is closed for now
        if commands in ready:
            pending += os.read(commands, 4096)
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                command = line.decode()
                if command == "mute":
                    muted = True
                elif command in ("stop-module", "stop-terminal"):
                    termios.tcflow(slave if command == "stop-module" else terminal_slave, termios.TCOOFF)
                event(folder, "done " + command)
        if master not in ready:
            continue
        try:
            heard = os.read(master, 4096)
        except OSError:
            time.sleep(0.02)
            continue
        for byte in heard:
            if byte == 0xFF and not frame:
                event(folder, "asked")
                if not muted and not chatter:
                    states = "".join(f"CH{n}:{'ON' if relays >> (n - 1) & 1 else 'OFF'}\r\n" for n in range(1, 9))
                    os.write(master, states.encode())
                continue
            if byte != 0xA0 and not frame:
                continue  # not a frame's first byte
            frame += bytes([byte])
            if len(frame) < 4:
                continue
            head, relay, on, total = frame
            frame = b""
            if head == 0xA0 and 1 <= relay <= 8 and (head + relay + on) & 0xFF == total:
                before = relays
                relays = relays | 1 << (relay - 1) if on else relays & ~(1 << (relay - 1))
                if relays != before:
                    event(folder, f"relays {relays:02x}")


def background(folder, command):
    master, slave = os.openpty()
    leader = os.fork()
    if leader == 0:
        # The session's leader, in the foreground of its terminal, as a shell is; the command in
        # a process group of its own, in the background.
        os.close(master)
        os.setsid()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
        attributes = termios.tcgetattr(slave)
        attributes[3] |= termios.TOSTOP
        termios.tcsetattr(slave, termios.TCSANOW, attributes)
        child = os.fork()
        if child == 0:
            os.setpgid(0, 0)
            os.dup2(slave, 1)
            os.dup2(slave, 2)
            os.execvp(command[0], command)
        os.setpgid(child, child)
        event(folder, f"pid {child}")
        _, status = os.waitpid(child, 0)
        event(folder, f"exit {os.waitstatus_to_exitcode(status)}")
        os._exit(0)
    os.close(slave)
    with open(os.path.join(folder, "terminal.out"), "ab", buffering=0) as out:
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the session is over
                break
            if not chunk:
                break
            out.write(chunk)
    os.waitpid(leader, 0)


def main():
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    what, folder = sys.argv[1], sys.argv[2]
    if what == "terminal":
        background(folder, sys.argv[sys.argv.index("--") + 1:])
    else:
        module(folder, chatter=what == "chatter")


if __name__ == "__main__":
    main()
