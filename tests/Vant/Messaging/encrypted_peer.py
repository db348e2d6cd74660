#!/usr/bin/python3
"""encrypted_peer.py PORT PRIVATE_KEY_HEX EXPECTED_PEER_KEY_HEX: the encrypted channel's
wire format in PyNaCl alone. Connects to 127.0.0.1:PORT, sends four messages, answers M
with b"echo:" + M until b"bye" (answered b"bye too", exit 0); a deviation exits 2."""
import hashlib
import hmac
import os
import socket
import sys

from nacl import bindings as nacl

BLOCK_DATA = 200
SEALED_BLOCK = 40 + 3 + BLOCK_DATA  # nonce, MAC, then number, state and data


class ProtocolError(Exception):
    pass


def auth(key, message):
    # crypto_auth is HMAC-SHA-512 truncated to 32 bytes.
    return hmac.new(key, message, hashlib.sha512).digest()[:32]


def seal(key, plain):
    nonce = os.urandom(24)
    return nonce + nacl.crypto_box_afternm(plain, nonce, key)


def unseal(key, sealed):
    return nacl.crypto_box_open_afternm(sealed[24:], sealed[:24], key)


class Peer:
    def __init__(self, sock, private_key):
        self.sock, self.stream = sock, sock.makefile("rb")
        self.private_key = private_key
        self.public_key = nacl.crypto_scalarmult_base(private_key)

    def read(self, n):
        data = self.stream.read(n)
        if len(data) != n:
            raise ProtocolError("connection closed after %d of %d bytes" % (len(data), n))
        return data

    def handshake(self, expected_peer_key):
        self.sock.sendall(self.public_key)
        peer_key = self.read(32)
        if peer_key != expected_peer_key:
            raise ProtocolError("peer key %s, expected %s" % (peer_key.hex(), expected_peer_key.hex()))
        shared = nacl.crypto_box_beforenm(peer_key, self.private_key)
        temp_private = os.urandom(32)
        temp_public = nacl.crypto_scalarmult_base(temp_private)
        self.sock.sendall(seal(shared, temp_public))
        peer_temp = unseal(shared, self.read(72))
        if len(peer_temp) != 32:
            raise ProtocolError("temporary key of %d bytes" % len(peer_temp))
        self.session = nacl.crypto_box_beforenm(peer_temp, temp_private)
        self.sock.sendall(auth(self.session, peer_temp))
        if not hmac.compare_digest(self.read(32), auth(self.session, temp_public)):
            raise ProtocolError("authenticator does not verify")
        self.send_number = int.from_bytes(temp_public[:2], "big")
        self.receive_number = int.from_bytes(peer_temp[:2], "big")

    def send(self, message):
        out = b""
        for offset in range(0, len(message), BLOCK_DATA):
            data = message[offset:offset + BLOCK_DATA]
            padding = BLOCK_DATA - len(data)
            if offset + BLOCK_DATA < len(message):
                state, pad = 0, b""
            elif padding <= 3:
                state, pad = padding + 1, bytes(padding)
            else:
                state, pad = 255, padding.to_bytes(4, "big") + bytes(padding - 4)
            plain = self.send_number.to_bytes(2, "big") + bytes([state]) + pad + data
            self.send_number = (self.send_number + 1) % 65536
            out += seal(self.session, plain)
        self.sock.sendall(out)

    def receive(self):
        message = b""
        while True:
            plain = unseal(self.session, self.read(SEALED_BLOCK))
            number, state = int.from_bytes(plain[:2], "big"), plain[2]
            if number != self.receive_number:
                raise ProtocolError("block number %d, expected %d" % (number, self.receive_number))
            self.receive_number = (self.receive_number + 1) % 65536
            if state == 0:
                message += plain[3:]
                continue
            if 1 <= state <= 4:
                padding, zeros = state - 1, plain[3:2 + state]
            elif state == 255:
                padding = int.from_bytes(plain[3:7], "big")
                if not 4 <= padding <= BLOCK_DATA:
                    raise ProtocolError("padding length %d" % padding)
                zeros = plain[7:3 + padding]
            else:
                raise ProtocolError("state byte %d" % state)
            if any(zeros):
                raise ProtocolError("padding is not zero")
            return message + plain[3 + padding:]


def main():
    sock = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
    peer = Peer(sock, bytes.fromhex(sys.argv[2]))
    peer.handshake(bytes.fromhex(sys.argv[3]))
    for message in (b"hello from python", bytes(i * 7 % 251 for i in range(450)), b"b" * 200, b"c" * 196):
        peer.send(message)
    while True:
        message = peer.receive()
        if message == b"bye":
            peer.send(b"bye too")
            sock.shutdown(socket.SHUT_WR)
            return 0
        peer.send(b"echo:" + message)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as error:  # any failure is a protocol failure for the test
        print("encrypted_peer: %s: %s" % (type(error).__name__, error), file=sys.stderr)
        sys.exit(2)
