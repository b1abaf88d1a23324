#!/usr/bin/env python3
"""Serial devices for the Windows tests running under wine.

A test program built for Windows cannot make a pseudo-terminal, so this Linux
process owns them. Each TCP connection to the control socket is one device:

  on connect      a fresh pty pair is made, its slave put in raw mode and mapped
                  to a COM port of the wine prefix; the server answers
                  "PORT COMnn\\n"
  "W <n> <ms>\\n" + n bytes
                  the bytes are written to the master as the device would send
                  them; answer "OK\\n" when all were written, "PART <k>\\n" when
                  only the first k were, the write having made no progress for
                  <ms> milliseconds (nobody reading, buffer full), or
                  "ERR <reason>\\n" when it failed
  "H\\n"           hang-up: the master is closed (the cable is pulled) and the
                  COM mapping removed; answer "OK\\n"
  "P\\n"           plug-in after a hang-up: a fresh pty pair is made and the same
                  COM port mapped to it (as Windows gives a replugged adapter
                  its COM number again); answer "PORT COMnn\\n"
  disconnect      as hang-up, and the COM number is free again

The server keeps no slave descriptor open: a reader must see the hang-up.

Usage: device_server.py --wineprefix DIR --address-file FILE
The address ("127.0.0.1:PORT") is written to FILE once the server listens.
"""

import argparse
import os
import select
import signal
import socket
import sys
import threading
import time
import tty

# COM1..COM4 may be real UARTs of the machine (wine maps COM1 to /dev/ttyS0).
FIRST_COM = 10
LAST_COM = 199


class ComPorts:
    """Hands out COM numbers round-robin, so a number freed by one test is not
    given to the next one straight away."""

    def __init__(self, dosdevices: str) -> None:
        self.dosdevices = dosdevices
        self.lock = threading.Lock()
        self.in_use: set[int] = set()
        self.next = FIRST_COM
        os.makedirs(dosdevices, exist_ok=True)
        for number in range(FIRST_COM, LAST_COM + 1):
            self._unlink(number)

    def _link(self, number: int) -> str:
        return os.path.join(self.dosdevices, f"com{number}")

    def _unlink(self, number: int) -> None:
        try:
            os.unlink(self._link(number))
        except FileNotFoundError:
            pass

    def reserve(self) -> int:
        with self.lock:
            for _ in range(LAST_COM - FIRST_COM + 1):
                number = self.next
                self.next = FIRST_COM if number == LAST_COM else number + 1
                if number not in self.in_use:
                    self.in_use.add(number)
                    return number
        raise RuntimeError("no free COM number")

    def map(self, number: int, tty_path: str) -> None:
        """Points COM<number> at tty_path in one step."""
        link = self._link(number)
        tmp = f"{link}.tmp{os.getpid()}"
        os.symlink(tty_path, tmp)
        os.replace(tmp, link)

    def unmap(self, number: int) -> None:
        """The COM port disappears; its number stays reserved."""
        with self.lock:
            self._unlink(number)

    def release(self, number: int) -> None:
        with self.lock:
            self._unlink(number)
            self.in_use.discard(number)


class Device:
    def __init__(self, ports: ComPorts) -> None:
        self.ports = ports
        self.number = ports.reserve()
        self.master = -1
        try:
            self.plug_in()
        except BaseException:
            ports.release(self.number)
            raise

    def plug_in(self) -> None:
        """A new pty pair, mapped to this device's COM port."""
        master, slave = os.openpty()
        try:
            tty.setraw(slave)
            tty_path = os.ttyname(slave)
        finally:
            # Raw mode stays when the slave is closed. The port's user then holds
            # the only slave and this object the only master (not inherited by
            # children), so closing the master is a hang-up nothing can mask.
            os.close(slave)
        os.set_blocking(master, False)
        self.master = master
        self.ports.map(self.number, tty_path)

    def write(self, data: bytes, patience_s: float) -> str | int | None:
        """Writes data; returns None when all was written, the count written
        when the port stayed full for patience_s, or the reason it failed."""
        if self.master < 0:
            return "device hung up"
        view = memoryview(data)
        deadline = time.monotonic() + patience_s
        written = 0
        while written < len(view):
            try:
                written += os.write(self.master, view[written:])
                deadline = time.monotonic() + patience_s
                continue
            except BlockingIOError:
                pass
            except OSError as e:
                return f"write failed: {e.strerror}"
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return written
            select.select([], [self.master], [], remaining)
        return None

    def hang_up(self) -> None:
        if self.master >= 0:
            os.close(self.master)
            self.master = -1
        self.ports.unmap(self.number)


def read_exact(stream, n: int) -> bytes | None:
    data = stream.read(n)
    return data if data is not None and len(data) == n else None


def serve(conn: socket.socket, ports: ComPorts) -> None:
    device = None
    try:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        stream = conn.makefile("rb")
        try:
            device = Device(ports)
        except Exception as e:  # report it to the test rather than drop the line
            conn.sendall(f"ERR cannot make a device: {e}\n".encode())
            return
        conn.sendall(f"PORT COM{device.number}\n".encode())
        while True:
            line = stream.readline()
            if not line:
                return
            words = line.split()
            if words[:1] == [b"W"] and len(words) == 3 and words[1].isdigit() and words[2].isdigit():
                data = read_exact(stream, int(words[1]))
                if data is None:
                    return
                error = device.write(data, int(words[2]) / 1000.0)
                if error is None:
                    conn.sendall(b"OK\n")
                elif isinstance(error, int):
                    conn.sendall(f"PART {error}\n".encode())
                else:
                    conn.sendall(f"ERR {error}\n".encode())
            elif words == [b"H"]:
                device.hang_up()
                conn.sendall(b"OK\n")
            elif words == [b"P"]:
                if device.master >= 0:
                    conn.sendall(b"ERR the device is plugged in\n")
                    continue
                try:
                    device.plug_in()
                except OSError as e:
                    conn.sendall(f"ERR cannot make a device: {e}\n".encode())
                    continue
                conn.sendall(f"PORT COM{device.number}\n".encode())
            else:
                conn.sendall(b"ERR unknown command\n")
    except OSError:
        pass  # the test program went away
    finally:
        if device is not None:
            device.hang_up()
            ports.release(device.number)
        conn.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wineprefix", required=True)
    parser.add_argument("--address-file", required=True)
    args = parser.parse_args()

    ports = ComPorts(os.path.join(args.wineprefix, "dosdevices"))
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    host, port = listener.getsockname()

    def stop(*_: object) -> None:
        for number in list(ports.in_use):
            ports.release(number)
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    tmp = args.address_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(f"{host}:{port}\n")
    os.replace(tmp, args.address_file)

    # Leave with the script that started us, even if its trap never ran.
    parent = os.getppid()
    while True:
        ready, _, _ = select.select([listener], [], [], 1.0)
        if os.getppid() != parent:
            stop()
        if ready:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn, ports), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
