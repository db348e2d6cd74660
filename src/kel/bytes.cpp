#include "kel/bytes.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace kel {

namespace {
std::shared_ptr<byte> allocate(unsigned n) {
    // One allocation of exactly n bytes (at least one so the pointer is never null
    // for a sized buffer; an empty buffer simply has length 0).
    return std::shared_ptr<byte>(new byte[n == 0 ? 1 : n], Deleter());
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 0;
}
}  // namespace

const bytes ZeroBytes(32, 0);
const bytes BoxZeroBytes(16, 0);

bytes::bytes() = default;

bytes::bytes(unsigned n) : _data(allocate(n)), _from(0), _length(n) {}

bytes::bytes(unsigned n, byte fill) : bytes(n) { std::memset(begin(), fill, n); }

bytes::bytes(const byte* p, unsigned n) : bytes(n) {
    if (n > 0) std::memcpy(begin(), p, n);
}

bytes::bytes(const std::string& s)
    : bytes(reinterpret_cast<const byte*>(s.data()), static_cast<unsigned>(s.size())) {}

bytes::bytes(std::shared_ptr<byte> data, unsigned from, unsigned length)
    : _data(std::move(data)), _from(from), _length(length) {}

bytes bytes::fromHex(const std::string& hexIn) {
    const std::string hex = (hexIn.size() % 2 == 1) ? "0" + hexIn : hexIn;
    bytes result(static_cast<unsigned>(hex.size() / 2));
    for (unsigned i = 0; i < result.length(); ++i) {
        result[i] = static_cast<byte>((hexValue(hex[2 * i]) * 16 + hexValue(hex[2 * i + 1])) & 0xff);
    }
    return result;
}

bytes bytes::fromUint(unsigned v) { return bytes(4).writeUint(v); }

bytes bytes::fromUshort(unsigned short v) { return bytes(2).writeUshort(v); }

unsigned bytes::readUint() const {
    const byte* p = begin();
    return (unsigned(p[0]) << 24) | (unsigned(p[1]) << 16) | (unsigned(p[2]) << 8) | unsigned(p[3]);
}

unsigned short bytes::readUshort() const {
    const byte* p = begin();
    return static_cast<unsigned short>((unsigned(p[0]) << 8) | unsigned(p[1]));
}

bytes& bytes::write(const bytes& src) {
    const unsigned n = std::min(_length, src.length());
    if (n > 0) std::memmove(begin(), src.begin(), n);
    return *this;
}

bytes& bytes::write(const byte* p, unsigned n) {
    if (n > 0) std::memmove(begin(), p, n);
    return *this;
}

bytes& bytes::write(int offset, const bytes& src) {
    const unsigned room = _length - static_cast<unsigned>(offset);
    const unsigned n = std::min(room, src.length());
    if (n > 0) std::memmove(begin() + offset, src.begin(), n);
    return *this;
}

bytes& bytes::writeUint(unsigned v) {
    byte* p = begin();
    p[0] = static_cast<byte>(v >> 24);
    p[1] = static_cast<byte>(v >> 16);
    p[2] = static_cast<byte>(v >> 8);
    p[3] = static_cast<byte>(v);
    return *this;
}

bytes& bytes::writeUshort(unsigned short v) {
    byte* p = begin();
    p[0] = static_cast<byte>(v >> 8);
    p[1] = static_cast<byte>(v);
    return *this;
}

bytes& bytes::nullify() {
    if (_length > 0) std::memset(begin(), 0, _length);
    return *this;
}

bytes& bytes::randomize() {
    if (_length > 0) randombytes_buf(begin(), _length);
    return *this;
}

bytes bytes::subBytes(int from, unsigned length) const {
    return bytes(_data, _from + static_cast<unsigned>(from), length);
}

bytes bytes::subBytes(int from) const { return subBytes(from, _length - static_cast<unsigned>(from)); }

bytes bytes::operator+(const bytes& other) const {
    bytes result(_length + other.length());
    if (_length > 0) std::memcpy(result.begin(), begin(), _length);
    if (other.length() > 0) std::memcpy(result.begin() + _length, other.begin(), other.length());
    return result;
}

bytes bytes::operator^(const bytes& other) const {
    bytes result(_length);
    for (unsigned i = 0; i < _length; ++i) result[i] = static_cast<byte>(at(i) ^ other[i]);
    return result;
}

bytes bytes::clone() const { return bytes(begin(), _length); }

bool bytes::operator==(const bytes& other) const {
    return _length == other._length && (_length == 0 || std::memcmp(begin(), other.begin(), _length) == 0);
}

bool bytes::operator<(const bytes& other) const {
    const unsigned n = std::min(_length, other._length);
    const int c = n == 0 ? 0 : std::memcmp(begin(), other.begin(), n);
    if (c != 0) return c < 0;
    return _length < other._length;
}

std::string bytes::toHex() const {
    static const char digits[] = "0123456789abcdef";
    std::string out(2 * static_cast<size_t>(_length), '0');
    for (unsigned i = 0; i < _length; ++i) {
        out[2 * i] = digits[at(i) >> 4];
        out[2 * i + 1] = digits[at(i) & 0x0f];
    }
    return out;
}

bytes::operator std::string() const {
    return _length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(begin()), _length);
}

std::ostream& operator<<(std::ostream& os, const bytes& b) { return os << b.toHex(); }

}  // namespace kel
