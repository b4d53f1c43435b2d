#!/usr/bin/env python3
"""The far ends that scripts/systemd-test.sh needs inside its container.

peer.py adapter NAME
    A TUN device NAME that plays a LON network interface: every frame (protocol 0x8950) that
    the server writes to it is printed and answered with the same command and length byte and
    the rest of its bytes reversed, so the answer is told apart from an echo.
peer.py tls PORT DIR TELEGRAM
    A TLS client with the certificate DIR/client.pem (DIR/client.key, CA DIR/ca.pem): sends
    TELEGRAM (hex) as one data message to 127.0.0.1:PORT and prints, as hex, the payload of
    the first data message that comes back.
"""
import fcntl
import os
import socket
import ssl
import struct
import sys

LON_PROTOCOL = b"\x89\x50"
TUNSETIFF = 0x400454CA
SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_TUN = 0x0001
IFF_UP = 0x0001
DATA = 16


def ifreq(name, flags):
    return struct.pack("16sH22x", name.encode(), flags)


def adapter(name):
    tun = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(tun, TUNSETIFF, ifreq(name, IFF_TUN))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH22x", fcntl.ioctl(s, SIOCGIFFLAGS, ifreq(name, 0)))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, ifreq(name, flags | IFF_UP))
    print(f"adapter {name} up", flush=True)
    while True:
        packet = os.read(tun, 65536)
        if packet[2:4] != LON_PROTOCOL:  # the kernel's own traffic on a new interface
            continue
        frame = packet[4:]
        print("from the server:", frame.hex(" "), flush=True)
        os.write(tun, b"\0\0" + LON_PROTOCOL + frame[:2] + frame[2:][::-1])


def receive(stream, size):
    data = b""
    while len(data) < size:
        chunk = stream.recv(size - len(data))
        if not chunk:
            sys.exit("the connection ended")
        data += chunk
    return data


def tls(port, folder, telegram):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(os.path.join(folder, "ca.pem"))
    context.load_cert_chain(os.path.join(folder, "client.pem"), os.path.join(folder, "client.key"))
    payload = bytes.fromhex(telegram)
    with socket.create_connection(("127.0.0.1", int(port)), timeout=15) as raw:
        with context.wrap_socket(raw, server_hostname="gateway.test") as stream:
            stream.sendall(struct.pack("<HH", DATA, len(payload)) + payload)
            while True:
                ident, length = struct.unpack("<HH", receive(stream, 4))
                body = receive(stream, length)
                if ident == DATA:
                    print(body.hex(" "))
                    return


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "adapter":
        adapter(sys.argv[2])
    elif len(sys.argv) == 5 and sys.argv[1] == "tls":
        tls(*sys.argv[2:])
    else:
        sys.exit(__doc__)
