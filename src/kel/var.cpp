#include "kel/var.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace kel {

// ---------------------------------------------------------------------------
// Nodes

vdata::~vdata() = default;
int vdata::type() const {
    return var::Undefined;
}
int vmap::type() const {
    return var::Map;
}
int varray::type() const {
    return var::Array;
}
int vreal::type() const {
    return var::Real;
}
int vinteger::type() const {
    return var::Integer;
}
int vboolean::type() const {
    return var::Boolean;
}
int vstring::type() const {
    return var::String;
}

namespace {

// Slots and nodes live in pooled blocks, one block each (count and object).
template <typename Node>
std::shared_ptr<Node> newNode() {
    return std::allocate_shared<Node>(PoolAllocator<Node>());
}

std::shared_ptr<std::shared_ptr<vdata>> newSlot(std::shared_ptr<vdata> node) {
    using Slot = std::shared_ptr<vdata>;
    return std::allocate_shared<Slot>(PoolAllocator<Slot>(), std::move(node));
}

vmap* asMap(vdata* n) {
    return static_cast<vmap*>(n);
}
varray* asArray(vdata* n) {
    return static_cast<varray*>(n);
}

const char* const OutOfRange = "Out of range";

}  // namespace

// ---------------------------------------------------------------------------
// Construction and assignment

var::var() : data(newSlot(newNode<vdata>())) {}
// A move shares the slot like a copy: a moved-from handle stays usable.
var::var(const var& other) = default;
var::var(var&& other) noexcept : data(other.data) {}
var::var(node_ptr node) : data(newSlot(std::move(node))) {}
var::var(double v) : var() {
    makeReal(v);
}
var::var(int v) : var() {
    makeInteger(v);
}
var::var(long v) : var() {
    makeInteger(v);
}
var::var(unsigned v) : var() {
    makeInteger(static_cast<long>(v));
}
var::var(unsigned long v) : var() {
    makeInteger(static_cast<long>(v));
}
var::var(long long v) : var() {
    makeInteger(static_cast<long>(v));
}
var::var(bool v) : var() {
    makeBoolean(v);
}
var::var(std::string v) : var() {
    makeString(std::move(v));
}
var::var(const char* v) : var() {
    makeString(v);
}
var::var(std::initializer_list<var> elements) : var() {
    makeArray(elements);
}
var::var(bytes& jsonText) : var(static_cast<const bytes&>(jsonText)) {}
var::var(const bytes& jsonText) : data(fromJsonString(std::string(jsonText)).data) {}
var::~var() = default;

var var::randomHex(int n) {
    return var(bytes(static_cast<unsigned>(n)).randomize().toHex());
}

var& var::operator=(const var& other) {
    data = other.data;
    return *this;
}

var& var::operator=(var&& other) noexcept {
    data = other.data;
    return *this;
}

var& var::operator<=(var other) {
    *data = *other.data;
    return *this;
}

var& var::operator=(double v) {
    makeReal(v);
    return *this;
}
var& var::operator=(int v) {
    makeInteger(v);
    return *this;
}
var& var::operator=(long v) {
    makeInteger(v);
    return *this;
}
var& var::operator=(unsigned v) {
    makeInteger(static_cast<long>(v));
    return *this;
}
var& var::operator=(unsigned long v) {
    makeInteger(static_cast<long>(v));
    return *this;
}
var& var::operator=(long long v) {
    makeInteger(static_cast<long>(v));
    return *this;
}
var& var::operator=(bool v) {
    makeBoolean(v);
    return *this;
}
var& var::operator=(std::string v) {
    makeString(std::move(v));
    return *this;
}
var& var::operator=(const char* v) {
    makeString(v);
    return *this;
}

bool var::operator&=(const var& other) const {
    return node() == other.node();
}

void var::makeReal(double v) {
    auto n = newNode<vreal>();
    n->value = v;
    *data = std::move(n);
}
void var::makeInteger(long v) {
    auto n = newNode<vinteger>();
    n->value = v;
    *data = std::move(n);
}
void var::makeBoolean(bool v) {
    auto n = newNode<vboolean>();
    n->value = v;
    *data = std::move(n);
}
void var::makeString(std::string v) {
    auto n = newNode<vstring>();
    n->value = std::move(v);
    *data = std::move(n);
}
void var::makeMap() {
    *data = newNode<vmap>();
}
void var::makeArray() {
    *data = newNode<varray>();
}
void var::makeArray(std::initializer_list<var> elements) {
    auto n = newNode<varray>();
    n->value.assign(elements.begin(), elements.end());
    *data = std::move(n);
}
void var::ensureMap() {
    if (type() != Map) makeMap();
}
void var::ensureArray() {
    if (type() != Array) makeArray();
}

// ---------------------------------------------------------------------------
// Kinds and scalars

var::var_type var::type() const {
    return static_cast<var_type>(node()->type());
}

std::string var::typeName(int type) {
    switch (type) {
        case Map:
            return "Map";
        case Array:
            return "Array";
        case Real:
            return "Real";
        case Integer:
            return "Integer";
        case Boolean:
            return "Boolean";
        case String:
            return "String";
        default:
            return "Undefined";
    }
}

void var::throwUnexpectedType(std::string where, var_type expected) const {
    const var_type actual = type();
    if (actual == expected) return;
    throw std::runtime_error("Unexpected type " + typeName(actual) + " in " + where +
                             ". Expected : " + typeName(expected) + ". Full var : " + toJsonString(0));
}

double var::realValue() const {
    if (type() != Real) {
        std::cout << "Problems ahead" << std::endl;
        throwUnexpectedType("var::realValue()", Real);
    }
    return static_cast<vreal*>(node())->value;
}

long var::integerValue() const {
    throwUnexpectedType("var::integerValue()", Integer);
    return static_cast<vinteger*>(node())->value;
}

bool var::booleanValue() const {
    throwUnexpectedType("var::booleanValue()", Boolean);
    return static_cast<vboolean*>(node())->value;
}

std::string var::stringValue() const {
    throwUnexpectedType("var::stringValue()", String);
    return static_cast<vstring*>(node())->value;
}

var::operator std::string() const {
    throwUnexpectedType("var::string()", String);
    return static_cast<vstring*>(node())->value;
}

double var::realValue(double d) const {
    return type() == Real ? static_cast<vreal*>(node())->value : d;
}
long var::integerValue(long d) const {
    return type() == Integer ? static_cast<vinteger*>(node())->value : d;
}
bool var::booleanValue(bool d) const {
    return type() == Boolean ? static_cast<vboolean*>(node())->value : d;
}
std::string var::stringValue(std::string d) const {
    return type() == String ? static_cast<vstring*>(node())->value : d;
}

// ---------------------------------------------------------------------------
// Maps

var& var::entry(const std::string& key) {
    ensureMap();
    return asMap(node())->value[key];
}

const var& var::entry(const std::string& key) const {
    throwUnexpectedType("var::operator[](var)", Map);
    return asMap(node())->value[key];
}

var& var::operator[](var key) {
    return entry(static_cast<std::string>(key));
}
const var& var::operator[](var key) const {
    return entry(static_cast<std::string>(key));
}

bool var::has(var key) {
    ensureMap();
    return static_cast<const var&>(*this).has(key);
}

bool var::has(var key) const {
    if (type() == Undefined) return false;
    throwUnexpectedType("var::has(var)", Map);
    const auto& m = asMap(node())->value;
    auto it = m.find(key.stringValue());
    return it != m.end() && it->second.isDefined();
}

var& var::remove(var key) {
    ensureMap();
    asMap(node())->value.erase(key.stringValue());
    return *this;
}

std::set<std::string> var::keys() {
    ensureMap();
    return static_cast<const var&>(*this).keys();
}

std::set<std::string> var::keys() const {
    std::set<std::string> result;
    if (type() == Undefined) return result;
    throwUnexpectedType("var::keys()", Map);
    for (const auto& e : asMap(node())->value) {
        if (e.second.isDefined()) result.insert(result.end(), e.first);
    }
    return result;
}

std::vector<var> var::values() {
    ensureMap();
    return static_cast<const var&>(*this).values();
}

std::vector<var> var::values() const {
    std::vector<var> result;
    if (type() == Undefined) return result;
    throwUnexpectedType("var::values()", Map);
    for (const auto& e : asMap(node())->value) {
        if (e.second.isDefined()) result.push_back(e.second);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Arrays

var& var::operator[](unsigned i) {
    ensureArray();
    return asArray(node())->value.at(i);
}

const var& var::operator[](unsigned i) const {
    throwUnexpectedType("var::operator[](uint)", Array);
    auto& v = asArray(node())->value;
    if (i >= v.size()) throw std::runtime_error(OutOfRange);
    return v[i];
}

var& var::add(var v) {
    ensureArray();
    auto& elements = asArray(node())->value;
    elements.push_back(std::move(v));
    return elements.back();
}

var& var::remove(unsigned i) {
    ensureArray();
    auto& v = asArray(node())->value;
    if (i >= v.size()) throw std::runtime_error(OutOfRange);
    v.erase(v.begin() + i);
    return *this;
}

var& var::last() const {
    throwUnexpectedType("var::last()", Array);
    auto& v = asArray(node())->value;
    if (v.empty()) throw std::runtime_error(OutOfRange);
    return v.back();
}

std::vector<var>& var::arrayValue() {
    ensureArray();
    return asArray(node())->value;
}

var::iterator var::begin() {
    return arrayValue().begin();
}
var::iterator var::end() {
    return arrayValue().end();
}

unsigned var::size() const {
    switch (type()) {
        case Undefined:
            return 0;
        case Array:
            return static_cast<unsigned>(asArray(node())->value.size());
        default:
            break;
    }
    throwUnexpectedType("var::size()", Map);
    unsigned n = 0;
    for (const auto& e : asMap(node())->value) {
        if (e.second.isDefined()) ++n;
    }
    return n;
}

// ---------------------------------------------------------------------------
// Equality and deep copy. Both recurse once per nesting level; the reader
// refuses text nested deeper than 512 levels, so received values stay shallow.

bool var::operator==(const var& other) const {
    const var_type t = type();
    if (t != other.type()) return false;
    switch (t) {
        case Map: {
            // Walk both ordered maps together, stepping over Undefined entries.
            const auto& a = asMap(node())->value;
            const auto& b = asMap(other.node())->value;
            auto i = a.begin();
            auto j = b.begin();
            for (;;) {
                while (i != a.end() && i->second.isUndefined()) ++i;
                while (j != b.end() && j->second.isUndefined()) ++j;
                if (i == a.end() || j == b.end()) return i == a.end() && j == b.end();
                if (i->first != j->first || !(i->second == j->second)) return false;
                ++i;
                ++j;
            }
        }
        case Array: {
            const auto& a = asArray(node())->value;
            const auto& b = asArray(other.node())->value;
            if (a.size() != b.size()) return false;
            for (size_t k = 0; k < a.size(); ++k) {
                if (!(a[k] == b[k])) return false;
            }
            return true;
        }
        case Real:
            return static_cast<vreal*>(node())->value == static_cast<vreal*>(other.node())->value;
        case Integer:
            return static_cast<vinteger*>(node())->value == static_cast<vinteger*>(other.node())->value;
        case Boolean:
            return static_cast<vboolean*>(node())->value == static_cast<vboolean*>(other.node())->value;
        case String:
            return static_cast<vstring*>(node())->value == static_cast<vstring*>(other.node())->value;
        default:
            return true;
    }
}

var var::clone() const {
    switch (type()) {
        case Map: {
            auto n = newNode<vmap>();
            for (const auto& e : asMap(node())->value) {
                if (e.second.isDefined()) n->value.emplace_hint(n->value.end(), e.first, e.second.clone());
            }
            return var(node_ptr(std::move(n)));
        }
        case Array: {
            auto n = newNode<varray>();
            const auto& elements = asArray(node())->value;
            n->value.reserve(elements.size());
            for (const auto& e : elements) n->value.push_back(e.clone());
            return var(node_ptr(std::move(n)));
        }
        case Real:
            return var(static_cast<vreal*>(node())->value);
        case Integer:
            return var(static_cast<vinteger*>(node())->value);
        case Boolean:
            return var(static_cast<vboolean*>(node())->value);
        case String:
            return var(static_cast<vstring*>(node())->value);
        default:
            return var();
    }
}

var::operator bytes() const {
    return bytes(toJsonString());
}

std::ostream& operator<<(std::ostream& os, const var& v) {
    return os << v.toJsonString(4);
}

// ---------------------------------------------------------------------------
// Writer: appends the whole text into one buffer, one recursion per nesting level.

class JsonWriter {
public:
    explicit JsonWriter(int indentIncrement) : increment(indentIncrement) {}

    void write(const var& v, int indent, bool firstIncremented) {
        vdata* n = v.node();
        write(n, n->type(), indent, firstIncremented);
    }

    std::string out;

private:
    void write(vdata* n, int type, int indent, bool firstIncremented) {
        switch (type) {
            case var::String:
                writeString(static_cast<vstring*>(n)->value);
                break;
            case var::Boolean:
                out += static_cast<vboolean*>(n)->value ? "true" : "false";
                break;
            case var::Real:
                writeReal(static_cast<vreal*>(n)->value);
                break;
            case var::Integer:
                writeInteger(static_cast<vinteger*>(n)->value);
                break;
            case var::Map:
                writeMap(static_cast<vmap*>(n)->value, indent, firstIncremented);
                break;
            case var::Array:
                writeArray(static_cast<varray*>(n)->value, indent, firstIncremented);
                break;
            default:
                out += "undefined";
                break;
        }
    }

    // A newline and `indent` spaces in indented text, nothing in compact text.
    void newLine(int indent) {
        if (increment <= 0) return;
        out += '\n';
        out.append(static_cast<size_t>(std::max(indent, 0)), ' ');
    }

    void writeMap(const vmap::entries& m, int indent, bool firstIncremented) {
        if (m.empty()) {
            out += "{}";
            return;
        }
        if (firstIncremented) newLine(indent);
        out += '{';
        bool first = true;
        for (const auto& e : m) {
            vdata* n = e.second.node();
            const int type = n->type();
            if (type == var::Undefined) continue;
            if (!first) out += ',';
            first = false;
            newLine(indent + increment);
            writeString(e.first);
            out += ':';
            write(n, type, indent + increment, true);
        }
        newLine(indent);
        out += '}';
    }

    void writeArray(const std::vector<var>& a, int indent, bool firstIncremented) {
        if (a.empty()) {
            out += "[]";
            return;
        }
        if (firstIncremented) newLine(indent);
        out += '[';
        bool first = true;
        for (const auto& e : a) {
            if (!first) out += ',';
            first = false;
            newLine(indent + increment);
            write(e, indent + increment, false);
        }
        newLine(indent);
        out += ']';
    }

    // A backslash goes before every double quote and every backslash; every other
    // byte (newlines and control characters included) is written as it is, and the
    // reader turns backslash-x back into x.
    void writeString(const std::string& s) {
        out += '"';
        const char* p = s.data();
        const char* end = p + s.size();
        while (p < end) {
            const char* q = p;
            while (q < end && *q != '"' && *q != '\\') ++q;
            out.append(p, static_cast<size_t>(q - p));
            if (q == end) break;
            out += '\\';
            out += *q;
            p = q + 1;
        }
        out += '"';
    }

    void writeInteger(long v) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, static_cast<size_t>(r.ptr - buf));
    }

    // Reals travel with the six significant digits of single precision ("%.6g" of
    // the float). Text without a decimal point or exponent gets ".0", so a Real
    // always reads back as a Real (123456.5 is written 123456.0, not as the Integer
    // 123456). Values the text cannot carry are written as the nearest text the
    // reader reads back to the same text: beyond the float range the largest float,
    // zero of either sign 0.0, and NaN (which has no text) 0.0.
    void writeReal(double d) {
        if (std::isnan(d)) d = 0.0;
        if (d > FLT_MAX) d = FLT_MAX;
        if (d < -FLT_MAX) d = -FLT_MAX;
        const float f = static_cast<float>(d);
        if (f == 0.0f) {
            out += "0.0";
            return;
        }
        char buf[32];
        // Same digits as printf's "%.6g" of the float.
        auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(f), std::chars_format::general, 6);
        const size_t len = static_cast<size_t>(r.ptr - buf);
        out.append(buf, len);
        if (std::memchr(buf, '.', len) == nullptr && std::memchr(buf, 'e', len) == nullptr) out += ".0";
    }

    int increment;
};

std::string var::toJsonString() const {
    return toJsonString(0, 0, false);
}

std::string var::toJsonString(int indentIncrement) const {
    return toJsonString(0, indentIncrement, false);
}

std::string var::toJsonString(int indent, int indentIncrement, bool firstIncremented) const {
    JsonWriter w(indentIncrement);
    w.write(*this, indent, firstIncremented);
    return std::move(w.out);
}

// ---------------------------------------------------------------------------
// Reader: one pass over the characters, nesting kept on an explicit stack of
// pairs (a map key or nothing, and the value under construction). It is lenient:
// characters it has no use for are skipped. The value the next character applies
// to ("current") is always the key or the value of one pair of the stack; a
// finished value hands the next character to the value of the pair below the top
// (the enclosing container).
//
// Beyond the plain algorithm it guarantees:
// - every character moves the reader forward or ends it with an error (a value
//   that follows a finished value without a separator ends in an error instead of
//   handing the same character back and forth forever);
// - nesting deeper than MaxNesting levels is refused, so the recursive writer,
//   clone and comparison never meet a received value deep enough to exhaust the
//   stack;
// - a character after a complete top-level value is an error with a message;
// - the word undefined, which the writer puts for an Undefined array element (or
//   a whole Undefined value), reads back as an Undefined value instead of starting
//   a Boolean at its letter f;
// - numbers never overflow: see finishNumber().

class JsonReader {
public:
    static constexpr size_t MaxNesting = 512;

    explicit JsonReader(const char* text, size_t length) : p(text), n(length) {}

    var read() {
        stack.resize(8);
        depth = 1;
        size_t i = 0;
        while (i < n) {
            const char c = p[i];
            if (complete) {
                if (depth < 2)
                    throw std::runtime_error("Invalid json. Unexpected character after the value.");
                cur = depth - 2;
                curIsKey = false;
                complete = false;
            }
            Slot& s = slot();
            switch (s.kind) {
                case var::Undefined:
                    if (c == 'u' && n - i >= UndefinedWord.size() &&
                        std::memcmp(p + i, UndefinedWord.data(), UndefinedWord.size()) == 0) {
                        // The writer's word for an Undefined value: the value is complete
                        // and stays Undefined.
                        complete = true;
                        i += UndefinedWord.size();
                        break;
                    }
                    startValue(s, c);
                    ++i;
                    break;
                case var::Boolean:
                    readBoolean(s, c);
                    ++i;
                    break;
                case var::Integer:
                case var::Real:
                    if (readNumber(s, c)) ++i;
                    break;
                case var::String:
                    i = readString(s, i);
                    break;
                case var::Map:
                    readMap(c);
                    ++i;
                    break;
                case var::Array:
                    if (readArray(c)) ++i;
                    break;
            }
        }
        Slot& s = slot();
        if (s.kind == var::Integer || s.kind == var::Real) finishNumber(s);
        if (depth != 1) throw std::runtime_error("Invalid json. Stack non-empty.");
        return materialize(s);
    }

private:
    // The key or value of one pair while it is being read. Scalars keep their
    // value here until they are stored; containers hold their node from the start.
    struct Slot {
        int kind = var::Undefined;
        bool boolean = false;
        long integer = 0;
        double real = 0.0;
        std::string string;
        var::node_ptr container;

        void reset() {
            kind = var::Undefined;
            container.reset();
        }
    };
    struct Pair {
        Slot key;
        Slot val;
    };

    Slot& slot() { return curIsKey ? stack[cur].key : stack[cur].val; }
    Slot& top() { return stack[depth - 1].val; }

    // The current value is the container of the topmost pair (the value of the
    // pair below the top).
    bool isContainer() const { return depth >= 2 && !curIsKey && cur == depth - 2; }

    void push() {
        if (depth > MaxNesting) throw std::runtime_error(TooDeep);
        if (depth == stack.size()) stack.resize(stack.size() * 2);
        Pair& pr = stack[depth++];
        pr.key.reset();
        pr.val.reset();
    }

    void pop() { --depth; }

    // The next character applies to the key or the value of the topmost pair.
    void focusTop(bool key) {
        cur = depth - 1;
        curIsKey = key;
    }

    void startValue(Slot& s, char c) {
        switch (c) {
            case '{':
            case '[':
                if (cur >= MaxNesting) throw std::runtime_error(TooDeep);
                s.kind = c == '{' ? var::Map : var::Array;
                if (c == '{') {
                    s.container = newNode<vmap>();
                } else {
                    s.container = newNode<varray>();
                }
                break;
            case '"':
                s.kind = var::String;
                s.string.clear();
                openString();
                break;
            case '-':
                s.kind = var::Integer;
                s.integer = 0;
                negative = true;
                break;
            case 't':
            case 'f':
                s.kind = var::Boolean;
                s.boolean = false;
                boolVal = c == 't';
                boolPosition = 1;
                break;
            default:
                if (c >= '0' && c <= '9') {
                    s.kind = var::Integer;
                    s.integer = 0;
                    mantissa = static_cast<unsigned>(c - '0');
                }
                break;  // anything else is skipped
        }
    }

    void readBoolean(Slot& s, char c) {
        const char* word = boolVal ? "true" : "false";
        const int length = boolVal ? 4 : 5;
        if (boolPosition < length && c == word[boolPosition]) {
            if (++boolPosition == length) {
                s.boolean = boolVal;
                boolPosition = 0;
                complete = true;
            }
        }
    }

    static void makeReal(Slot& s) {
        if (s.kind != var::Real) {
            s.kind = var::Real;
            s.real = 0.0;
        }
    }

    // Returns false when the character ended the number and must be handled again.
    bool readNumber(Slot& s, char c) {
        if (c >= '0' && c <= '9') {
            const unsigned digit = static_cast<unsigned>(c - '0');
            if (ePassed) {
                if (eValue < ExponentCap) eValue = eValue * 10 + digit;
                eSignAllowed = false;
            } else if (mantissa <= (UINT64_MAX - 9) / 10) {
                mantissa = mantissa * 10 + digit;
                if (dotPassed) --exponent;
            } else if (!dotPassed) {
                ++exponent;  // a digit beyond the accumulator only scales the value
            }
            return true;
        }
        switch (c) {
            case '.':
                if (!dotPassed) {
                    dotPassed = true;
                    makeReal(s);
                }
                return true;
            case 'e':
            case 'E':
                ePassed = true;
                eSignAllowed = true;
                makeReal(s);
                return true;
            case '+':
            case '-':
                if (eSignAllowed) {
                    eNegative = c == '-';
                    eSignAllowed = false;
                }
                return true;
            default:
                // This number sits where the next character would be handed after it
                // ends (it follows a finished value without a separator): handing
                // the character back would end it again, forever.
                if (isContainer())
                    throw std::runtime_error("Invalid json. Missing separator between values.");
                finishNumber(s);
                complete = true;
                return false;
        }
    }

    // The digits are gathered in a 64-bit accumulator (digits beyond 19 significant
    // ones only raise the exponent). An integer becomes an Integer only when it fits
    // a 32-bit signed integer, on every platform, so that a peer whose long has 32
    // bits reads the same value as one whose long has 64; a larger integer becomes
    // a Real. A Real is the accumulator times ten to the exponent, by repeated
    // multiplication or division (beyond 400 steps the result is already infinite
    // or zero, so the steps stop there).
    void finishNumber(Slot& s) {
        if (s.kind == var::Integer) {
            const uint64_t limit = negative ? 2147483648ULL : 2147483647ULL;
            if (exponent == 0 && mantissa <= limit) {
                const int64_t v = negative ? -static_cast<int64_t>(mantissa) : static_cast<int64_t>(mantissa);
                s.integer = static_cast<long>(v);
            } else {
                s.kind = var::Real;
            }
        }
        if (s.kind == var::Real) {
            double v = static_cast<double>(mantissa);
            if (negative && mantissa != 0) v = -v;
            int64_t e = exponent + (eNegative ? -eValue : eValue);
            e = std::max<int64_t>(-400, std::min<int64_t>(400, e));
            for (; e > 0; --e) v *= 10;
            for (; e < 0; ++e) v /= 10;
            s.real = v;
        }
        mantissa = 0;
        exponent = 0;
        negative = dotPassed = ePassed = eSignAllowed = eNegative = false;
        eValue = 0;
    }

    void openString() {
        openned = true;
        escaping = false;
        buffer.clear();
    }

    // Handles the character at i and, inside a string, every plain character after
    // it; returns the index of the next character to handle.
    size_t readString(Slot& s, size_t i) {
        const char c = p[i];
        if (!openned) {
            if (c == '"') openString();
            return i + 1;
        }
        if (escaping) {
            buffer += c;
            escaping = false;
            return i + 1;
        }
        if (c == '\\') {
            escaping = true;
            return i + 1;
        }
        if (c == '"') {
            s.string.swap(buffer);
            openned = false;
            complete = true;
            return i + 1;
        }
        size_t j = i + 1;
        while (j < n && p[j] != '"' && p[j] != '\\') ++j;
        if (j < n && p[j] == '"' && buffer.empty()) {
            // A string without a backslash goes straight into the value.
            s.string.assign(p + i, j - i);
            openned = false;
            complete = true;
            return j + 1;
        }
        buffer.append(p + i, j - i);
        return j;
    }

    void readMap(char c) {
        switch (c) {
            case '"': {
                push();
                Slot& key = stack[depth - 1].key;
                key.kind = var::String;
                key.string.clear();
                openString();
                focusTop(true);
                break;
            }
            case ':':
                if (isContainer()) {
                    focusTop(false);
                }
                break;
            case ',':
                if (isContainer()) {
                    storeEntry();
                    pop();
                    push();
                    focusTop(true);
                }
                break;
            case '}':
                if (isContainer()) {
                    storeEntry();
                    pop();
                }
                complete = true;
                break;
            default:
                break;
        }
    }

    // Returns false when the character starts an element and must be handled again.
    bool readArray(char c) {
        switch (c) {
            case ' ':
            case '\t':
            case '\n':
                return true;
            case ',':
                if (isContainer()) {
                    appendElement();
                    pop();
                    push();
                    focusTop(false);
                }
                return true;
            case ']':
                if (isContainer()) {
                    appendElement();
                    pop();
                }
                complete = true;
                return true;
            default:
                push();
                focusTop(false);
                return false;
        }
    }

    void storeEntry() {
        Pair& pr = stack[depth - 1];
        vmap::entries& m = static_cast<vmap*>(stack[depth - 2].val.container.get())->value;
        if (pr.key.kind != var::String) {
            // Throws the error of a key that is not a String.
            (void)static_cast<std::string>(materialize(pr.key));
        }
        var value = materialize(pr.val);
        // Keys written by the writer arrive in order: then the insertion is constant
        // time. A repeated key keeps the last value.
        auto at = m.end();
        if (!m.empty() && !(m.rbegin()->first < pr.key.string)) at = m.lower_bound(pr.key.string);
        if (at != m.end() && at->first == pr.key.string) {
            at->second = value;
        } else {
            m.emplace_hint(at, std::move(pr.key.string), std::move(value));
        }
    }

    void appendElement() {
        static_cast<varray*>(stack[depth - 2].val.container.get())->value.push_back(materialize(top()));
    }

    static var materialize(Slot& s) {
        switch (s.kind) {
            case var::Map:
            case var::Array:
                return var(std::move(s.container));
            case var::Real: {
                auto node = newNode<vreal>();
                node->value = s.real;
                return var(var::node_ptr(std::move(node)));
            }
            case var::Integer: {
                auto node = newNode<vinteger>();
                node->value = s.integer;
                return var(var::node_ptr(std::move(node)));
            }
            case var::Boolean: {
                auto node = newNode<vboolean>();
                node->value = s.boolean;
                return var(var::node_ptr(std::move(node)));
            }
            case var::String: {
                auto node = newNode<vstring>();
                node->value = std::move(s.string);
                return var(var::node_ptr(std::move(node)));
            }
            default:
                return var();
        }
    }

    static constexpr const char* TooDeep = "Invalid json. Nesting deeper than 512 levels.";
    static constexpr std::string_view UndefinedWord = "undefined";
    static constexpr int64_t ExponentCap = 100000;

    const char* p;
    size_t n;

    std::vector<Pair> stack;  // entries beyond depth are kept for reuse
    size_t depth = 0;
    size_t cur = 0;  // the pair the next character applies to
    bool curIsKey = false;
    bool complete = false;

    bool boolVal = false;
    int boolPosition = 0;

    std::string buffer;
    bool openned = false;
    bool escaping = false;

    uint64_t mantissa = 0;
    int64_t exponent = 0;  // minus the digits after the point, plus the digits dropped
    bool negative = false;
    bool dotPassed = false;
    bool ePassed = false;
    int64_t eValue = 0;
    bool eSignAllowed = false;
    bool eNegative = false;
};

var var::fromJsonString(const std::string& json) {
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    size_t from = 0;
    size_t to = json.size();
    while (from < to && isSpace(json[from])) ++from;
    while (to > from && isSpace(json[to - 1])) --to;
    try {
        return JsonReader(json.data() + from, to - from).read();
    } catch (const std::runtime_error& e) {
        std::string log = "var::fromJsonString() runtime_error thrown : ";
        log += e.what();
        log += "\nvar::fromJsonString() on json string : ";
        log.append(json, from, to - from);
        log += '\n';
        std::cerr << log << std::flush;
        throw e;
    }
}

// ---------------------------------------------------------------------------
// Convenience classes and helpers

var_array::var_array() {
    makeArray();
}
var_array::var_array(var v) : var(v) {
    ensureArray();
}
var_array::var_array(std::initializer_list<var> elements) {
    makeArray(elements);
}

var_map::var_map() {
    makeMap();
}
var_map::var_map(var v) : var(v) {
    ensureMap();
}

void ltrim(std::string& s) {
    auto it =
        std::find_if(s.begin(), s.end(), [](char c) { return !std::isspace(static_cast<unsigned char>(c)); });
    s.erase(s.begin(), it);
}

void rtrim(std::string& s) {
    auto it = std::find_if(s.rbegin(), s.rend(),
                           [](char c) { return !std::isspace(static_cast<unsigned char>(c)); });
    s.erase(it.base(), s.end());
}

void trim(std::string& s) {
    rtrim(s);
    ltrim(s);
}

}  // namespace kel
