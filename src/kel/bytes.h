// kel::bytes: a cheap, shareable view (shared buffer, offset, length) on a byte
// buffer. Copies and slices share the buffer; only the makers listed in the
// header allocate. No locking: copies may live on different threads (atomic
// count), but writes into a shared buffer need the caller's serialisation.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace kel {

typedef unsigned char byte;

// Releases a buffer made with new[].
struct Deleter {
    void operator()(byte* p) const {
        if (p != nullptr) delete[] p;
    }
};

class bytes {
public:
    bytes();
    explicit bytes(unsigned n);
    bytes(unsigned n, byte fill);
    bytes(const byte* p, unsigned n);
    bytes(const std::string& s);  // NOLINT: strings convert implicitly, as everywhere in the system

    bytes(const bytes&) = default;
    bytes& operator=(const bytes&) = default;
    bytes(bytes&&) noexcept = default;
    bytes& operator=(bytes&&) noexcept = default;

    static bytes fromHex(const std::string& hex);
    static bytes fromUint(unsigned v);
    static bytes fromUshort(unsigned short v);

    byte* begin() { return _data.get() + _from; }
    const byte* begin() const { return _data.get() + _from; }
    byte* end() { return begin() + _length; }
    const byte* end() const { return begin() + _length; }
    byte& operator[](unsigned i) { return begin()[i]; }
    const byte& operator[](unsigned i) const { return begin()[i]; }
    byte& at(unsigned i) { return begin()[i]; }
    const byte& at(unsigned i) const { return begin()[i]; }
    byte& last() { return begin()[_length - 1]; }
    const byte& last() const { return begin()[_length - 1]; }
    byte& atEnd(unsigned i) { return begin()[_length - 1 - i]; }
    const byte& atEnd(unsigned i) const { return begin()[_length - 1 - i]; }
    unsigned length() const { return _length; }

    unsigned readUint() const;
    unsigned short readUshort() const;

    bytes& write(const bytes& src);
    bytes& write(const byte* p, unsigned n);
    bytes& write(int offset, const bytes& src);
    bytes& writeUint(unsigned v);
    bytes& writeUshort(unsigned short v);
    bytes& nullify();
    bytes& randomize();

    bytes subBytes(int from, unsigned length) const;
    bytes subBytes(int from) const;

    bytes operator+(const bytes& other) const;
    bytes operator^(const bytes& other) const;
    bytes clone() const;

    bool operator==(const bytes& other) const;
    bool operator!=(const bytes& other) const { return !(*this == other); }
    bool operator<(const bytes& other) const;

    std::string toHex() const;
    operator std::string() const;

private:
    bytes(std::shared_ptr<byte> data, unsigned from, unsigned length);

    std::shared_ptr<byte> _data;
    unsigned int _from = 0;
    unsigned int _length = 0;
};

std::ostream& operator<<(std::ostream& os, const bytes& b);

// The zero prefixes that libsodium's box functions expect in front of a
// plaintext (32 bytes) and of a ciphertext (16 bytes).
extern const bytes ZeroBytes;
extern const bytes BoxZeroBytes;

}  // namespace kel
