#!/usr/bin/env python3
"""Stand-ins on pseudo-terminals for tests/e2e_ends.sh; each says in DIR/events, once done,
"relays XX" (hex, at every change), "asked" (a status request), "done COMMAND", "pid N", "exit N".

  module DIR   a CH340 module of 8 relays that reports (pty named in DIR/module), and a terminal
               (DIR/terminal, its output in DIR/terminal.out); commands in the FIFO DIR/commands:
               mute (no more answers), stop-module and stop-terminal (output stopped, as Ctrl-S)
  chatter DIR  a device that prints a reading every 20 ms and answers nothing
  terminal DIR -- COMMAND...   COMMAND in the background of a terminal's session with tostop
"""
import fcntl, os, select, signal, sys, termios, time, tty


def event(folder, line):
    with open(os.path.join(folder, "events"), "a") as events:
        events.write(line + "\n")


def module(folder, chatter):
    master, slave = os.openpty()
    tty.setraw(slave)  # a serial port echoes nothing back, before the program's settings or after
    terminal, terminal_slave = os.openpty()
    os.set_blocking(master, False)
    os.mkfifo(os.path.join(folder, "commands"))
    commands = os.open(os.path.join(folder, "commands"), os.O_RDWR | os.O_NONBLOCK)
    out = open(os.path.join(folder, "terminal.out"), "ab", buffering=0)
    for name, fd in (("terminal", terminal_slave), ("module", slave)):  # the module last: the test waits for it
        with open(os.path.join(folder, name + ".new"), "w") as named:
            named.write(os.ttyname(fd) + "\n")
        os.rename(os.path.join(folder, name + ".new"), os.path.join(folder, name))
    relays, frame, muted, pending = 0, b"", False, b""
    while True:
        ready, _, _ = select.select([master, terminal, commands], [], [], 0.02 if chatter else None)
        if chatter:
            try:
                os.write(master, b"T=21.5\r\n")
            except BlockingIOError:  # nobody reads it
                pass
        for fd in ready:
            try:
                heard = os.read(fd, 65536)
            except OSError:  # its other end is not open for now
                time.sleep(0.02)
                continue
            if fd == terminal:
                out.write(heard)
            elif fd == commands:
                pending += heard
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    muted = muted or line == b"mute"
                    if line.startswith(b"stop-"):
                        termios.tcflow(slave if line == b"stop-module" else terminal_slave, termios.TCOOFF)
                    event(folder, "done " + line.decode())
            else:
                for byte in heard:
                    if byte == 0xFF and not frame:
                        event(folder, "asked")
                        if not muted and not chatter:
                            os.write(master, "".join(f"CH{n}:{'ON' if relays >> (n - 1) & 1 else 'OFF'}\r\n"
                                                     for n in range(1, 9)).encode())
                    elif byte == 0xA0 or frame:  # a frame: A0, relay, 0 or 1, their sum
                        frame += bytes([byte])
                        if len(frame) == 4:
                            _, relay, on, total = frame
                            before, frame = relays, b""
                            if 1 <= relay <= 8 and (0xA0 + relay + on) & 0xFF == total:
                                relays = relays | 1 << (relay - 1) if on else relays & ~(1 << (relay - 1))
                            if relays != before:
                                event(folder, f"relays {relays:02x}")


def background(folder, command):
    master, slave = os.openpty()
    leader = os.fork()
    if leader == 0:
        # The session's leader, in the foreground of its terminal as a shell is; the command in a
        # process group of its own, in the background.
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
        event(folder, f"exit {os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])}")
        os._exit(0)
    os.close(slave)
    with open(os.path.join(folder, "terminal.out"), "ab", buffering=0) as out:
        try:
            while chunk := os.read(master, 65536):
                out.write(chunk)
        except OSError:  # the session is over
            pass
    os.waitpid(leader, 0)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    if sys.argv[1] == "terminal":
        background(sys.argv[2], sys.argv[sys.argv.index("--") + 1:])
    else:
        module(sys.argv[2], chatter=sys.argv[1] == "chatter")
