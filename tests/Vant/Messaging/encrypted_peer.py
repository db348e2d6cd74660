#!/usr/bin/python3
"""encrypted_peer.py PORT PRIVATE_KEY_HEX EXPECTED_PEER_KEY_HEX: a peer of the encrypted
channel written from its wire format alone (PyNaCl), so that the C++ channel is checked
against the format and not a dialect both C++ ends agree on. Connects to 127.0.0.1:PORT,
sends four messages, answers each message M with b"echo:" + M until b"bye", answered
with b"bye too" and exit 0; any deviation from the format exits 2 with the reason."""
import hashlib
import hmac
import os
import socket
import sys

from nacl import bindings as nacl

BLOCK_DATA = 200
PLAIN_BLOCK = 203
SEALED_BLOCK = 40 + PLAIN_BLOCK


class ProtocolError(Exception):
    pass


def auth(key, message):
    # crypto_auth is HMAC-SHA-512 truncated to 32 bytes.
    return hmac.new(key, message, hashlib.sha512).digest()[:32]


def seal(key, plain):
    nonce = os.urandom(24)
    return nonce + nacl.crypto_box_afternm(plain, nonce, key)  # nonce, MAC, ciphertext


def unseal(key, sealed):
    return nacl.crypto_box_open_afternm(sealed[24:], sealed[:24], key)


class Peer:
    def __init__(self, sock, private_key):
        self.sock = sock
        self.private_key = private_key
        self.public_key = nacl.crypto_scalarmult_base(private_key)

    def read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ProtocolError("connection closed after %d of %d bytes" % (len(data), n))
            data += chunk
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
        left = message
        while left:
            padding = BLOCK_DATA - len(left)
            if padding < 0:
                state, pad = 0, b""
            elif padding <= 3:
                state, pad = padding + 1, bytes(padding)
            else:
                state, pad = 255, padding.to_bytes(4, "big") + bytes(padding - 4)
            plain = self.send_number.to_bytes(2, "big") + bytes([state]) + pad + left[:BLOCK_DATA]
            left = left[BLOCK_DATA:]
            assert len(plain) == PLAIN_BLOCK
            self.send_number = (self.send_number + 1) % 65536
            out += seal(self.session, plain)
        self.sock.sendall(out)

    def receive(self):
        message = b""
        while True:
            plain = unseal(self.session, self.read(SEALED_BLOCK))
            number = int.from_bytes(plain[:2], "big")
            if number != self.receive_number:
                raise ProtocolError("block number %d, expected %d" % (number, self.receive_number))
            self.receive_number = (self.receive_number + 1) % 65536
            state = plain[2]
            if state == 0:
                message += plain[3:]
                continue
            if 1 <= state <= 4:
                padding = state - 1
                zeros = plain[3:3 + padding]
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
    port, private_hex, expected_hex = sys.argv[1], sys.argv[2], sys.argv[3]
    sock = socket.create_connection(("127.0.0.1", int(port)), timeout=20)
    peer = Peer(sock, bytes.fromhex(private_hex))
    peer.handshake(bytes.fromhex(expected_hex))
    peer.send(b"hello from python")
    peer.send(bytes(i * 7 % 251 for i in range(450)))
    peer.send(b"b" * 200)
    peer.send(b"c" * 196)
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
