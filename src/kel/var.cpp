#include "kel/var.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>

namespace kel {

// ---------------------------------------------------------------------------
// Slots, nodes and entries

namespace detail {

namespace {

// Handles are copied and dropped on any thread, so counts are atomic. A count of
// one belongs to the caller alone (nobody else can copy a handle it does not
// have), so dropping the last reference needs no read-modify-write.
inline void retain(std::atomic<uint32_t>& refs) noexcept {
    refs.fetch_add(1, std::memory_order_relaxed);
}
inline bool dropIsLast(std::atomic<uint32_t>& refs) noexcept {
    return refs.load(std::memory_order_acquire) == 1 || refs.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

}  // namespace

// Kind of a String too long for its slot, kept in a std::string of its own.
constexpr uint8_t LongString = 7;

// The value of one or more handles. The block is sized for the value: 16 bytes for
// anything but a string, up to 128 for a string stored inline after the header.
// A slot made with a map entry shares the entry's block (see MapEntry).
struct Slot {
    static constexpr size_t PayloadOffset = 8;
    static constexpr size_t MaxInline = BlockPool::MaxSize - PayloadOffset;
    // Added to the count of a slot in an entry's block while the entry lives.
    static constexpr uint32_t EntryHold = 0x80000000u;

    std::atomic<uint32_t> refs;  // handles sharing this slot (+ EntryHold, see above)
    uint8_t kind;                // var::var_type, or LongString
    uint8_t blocks;              // size of the slot in BlockPool::Granule units
    uint8_t length;              // bytes of an inline string
    uint8_t entryOffset;         // 0, or the slot's distance from its entry in Granule units
    union {
        double real;
        long integer;
        bool boolean;
        MapNode* map;
        ArrayNode* array;
        std::string* text;  // a LongString
    };

    // Inline string bytes start at the payload and may run to the end of the slot.
    char* chars() { return reinterpret_cast<char*>(this) + PayloadOffset; }
    const char* chars() const { return reinterpret_cast<const char*>(this) + PayloadOffset; }
    size_t capacity() const { return blocks * BlockPool::Granule - PayloadOffset; }

    bool isString() const { return kind == var::String || kind == LongString; }
    std::string_view string() const {
        return kind == LongString ? std::string_view(*text) : std::string_view(chars(), length);
    }

    // Bytes of a slot with room for a string of n bytes inline when n fits a pooled
    // block, in Granule units.
    static size_t blocksFor(size_t n) {
        const size_t bytes = std::max(sizeof(Slot), n <= MaxInline ? PayloadOffset + n : 0);
        return (bytes + BlockPool::Granule - 1) / BlockPool::Granule;
    }

    // Makes an Undefined slot in raw memory of `blocks` units.
    static Slot* init(void* memory, size_t blocks, uint32_t refs, size_t entryOffset) {
        auto* s = static_cast<Slot*>(memory);
        new (&s->refs) std::atomic<uint32_t>(refs);
        s->kind = var::Undefined;
        s->blocks = static_cast<uint8_t>(blocks);
        s->length = 0;
        s->entryOffset = static_cast<uint8_t>(entryOffset);
        s->real = 0.0;
        return s;
    }

    // A new slot of its own (one reference, Undefined) with room for a string of n
    // bytes inline when n fits a pooled block.
    static Slot* make(size_t n = 0) {
        const size_t blocks = blocksFor(n);
        return init(BlockPool::allocate(blocks * BlockPool::Granule), blocks, 1, 0);
    }

    static void drop(Slot* s) noexcept {
        if (s->entryOffset != 0) {
            s->dropInEntry();
            return;
        }
        if (!dropIsLast(s->refs)) return;
        s->clear();
        BlockPool::deallocate(s, s->blocks * BlockPool::Granule);
    }

    // A slot in an entry's block: the last handle lets go of the value before its
    // count goes down, so that the value is never cleared by two threads (the
    // entry's end frees the block only when no handle is left; see MapEntry).
    void dropInEntry() noexcept {
        uint32_t r = refs.load(std::memory_order_acquire);
        for (;;) {
            if ((r & ~EntryHold) == 1) {
                clear();
                if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) freeEntryBlock();
                return;
            }
            if (refs.compare_exchange_weak(r, r - 1, std::memory_order_acq_rel, std::memory_order_acquire))
                return;
        }
    }
    void freeEntryBlock() noexcept {
        const size_t offset = entryOffset * BlockPool::Granule;
        BlockPool::deallocate(reinterpret_cast<char*>(this) - offset, offset + blocks * BlockPool::Granule);
    }

    // Lets go of the value (the slot becomes Undefined).
    void clear() noexcept;

    void setString(const char* p, size_t n) {
        clear();
        if (n <= capacity()) {
            if (n > 0) std::memcpy(chars(), p, n);  // an empty view may have no data
            length = static_cast<uint8_t>(n);
            kind = var::String;
        } else {
            text = new std::string(p, n);
            kind = LongString;
        }
    }
    void setString(std::string&& v) {
        if (v.size() <= capacity()) {
            setString(v.data(), v.size());
        } else {
            clear();
            text = new std::string(std::move(v));
            kind = LongString;
        }
    }

    void setMap(MapNode* m) noexcept;
    void setArray(ArrayNode* a) noexcept;
};
static_assert(sizeof(Slot) == 16, "a scalar slot is one 16-byte block");
static_assert(Slot::MaxInline <= UINT8_MAX, "an inline string's length fits its byte");

// One map entry: the handle of the value and the key's bytes. An entry made with
// its value (inserting a key, reading, cloning) has the value's first slot after
// the key in the same block: one block instead of two, the value next to its key.
// That slot's count carries EntryHold while the entry lives; handles elsewhere
// may keep the slot after the entry ends (or the entry may be given another
// slot), so the block is freed by whichever of the two comes last.
struct MapEntry {
    static constexpr uint32_t WithSlot = 0x80000000u;  // flag in keyBits
    static constexpr size_t MaxSlotOffset = 255 * BlockPool::Granule;

    var value;
    uint32_t keyBits;  // the key's length, and WithSlot

    MapEntry(Slot* adopted, uint32_t bits) noexcept : value(adopted), keyBits(bits) {}

    size_t keyLength() const { return keyBits & ~WithSlot; }
    std::string_view key() const { return {reinterpret_cast<const char*>(this + 1), keyLength()}; }
    const Slot* slot() const { return value.data; }
    Slot* slot() { return value.data; }

    static size_t slotOffset(size_t keyLength) {
        const size_t g = BlockPool::Granule;
        return (sizeof(MapEntry) + keyLength + g - 1) / g * g;
    }
    Slot* ownSlot() {
        return reinterpret_cast<Slot*>(reinterpret_cast<char*>(this) + slotOffset(keyLength()));
    }

    // A new entry taking over one reference to the value's slot.
    static MapEntry* make(std::string_view key, Slot* adopted) {
        void* block = BlockPool::allocate(sizeof(MapEntry) + key.size());
        auto* e = new (block) MapEntry(adopted, static_cast<uint32_t>(key.size()));
        if (!key.empty()) std::memcpy(static_cast<char*>(block) + sizeof(MapEntry), key.data(), key.size());
        return e;
    }

    // A new entry whose value is an Undefined slot in its own block, with room for
    // a string of n bytes inline.
    static MapEntry* makeWithSlot(std::string_view key, size_t n = 0) {
        const size_t offset = slotOffset(key.size());
        if (offset > MaxSlotOffset) return make(key, Slot::make(n));
        const size_t blocks = Slot::blocksFor(n);
        char* block = static_cast<char*>(BlockPool::allocate(offset + blocks * BlockPool::Granule));
        Slot* s = Slot::init(block + offset, blocks, Slot::EntryHold + 1, offset / BlockPool::Granule);
        auto* e = new (block) MapEntry(s, static_cast<uint32_t>(key.size()) | WithSlot);
        if (!key.empty()) std::memcpy(block + sizeof(MapEntry), key.data(), key.size());
        return e;
    }

    static void destroy(MapEntry* e) noexcept {
        if ((e->keyBits & WithSlot) == 0) {
            const size_t size = sizeof(MapEntry) + e->keyLength();
            e->~MapEntry();
            BlockPool::deallocate(e, size);
            return;
        }
        Slot* own = e->ownSlot();
        if (e->value.data == own && own->refs.load(std::memory_order_acquire) == Slot::EntryHold + 1) {
            // The entry's handle is the slot's only one: nobody else reaches the block.
            own->clear();
            BlockPool::deallocate(e, slotOffset(e->keyLength()) + own->blocks * BlockPool::Granule);
            return;
        }
        e->~MapEntry();
        if (own->refs.fetch_sub(Slot::EntryHold, std::memory_order_acq_rel) == Slot::EntryHold) {
            own->clear();
            own->freeEntryBlock();
        }
    }
};

// The entries of a map, sorted by the bytes of their keys (std::string's order).
struct MapNode {
    typedef std::vector<MapEntry*, PoolAllocator<MapEntry*>> Entries;

    std::atomic<uint32_t> refs{1};  // slots holding this map
    Entries entries;

    ~MapNode() {
        for (size_t k = 0; k < entries.size(); ++k) {
            prefetchAhead(entries, k);
            MapEntry::destroy(entries[k]);
        }
    }

    // A walk over the entries waits on the memory of each entry and of its value's
    // slot; asking for those of the entries a little ahead overlaps the waits.
    static void prefetchAhead(const Entries& v, size_t k) {
        if (k + 4 < v.size()) __builtin_prefetch(v[k + 4]);
        if (k + 2 < v.size()) __builtin_prefetch(v[k + 2]->slot());
    }

    static MapNode* make() { return new (BlockPool::allocate(sizeof(MapNode))) MapNode; }
    static void drop(MapNode* m) noexcept {
        if (!dropIsLast(m->refs)) return;
        m->~MapNode();
        BlockPool::deallocate(m, sizeof(MapNode));
    }

    // The first entry whose key is not below key.
    Entries::iterator lowerBound(std::string_view key) {
        return std::lower_bound(entries.begin(), entries.end(), key,
                                [](const MapEntry* e, std::string_view k) { return e->key() < k; });
    }
    MapEntry* find(std::string_view key) {
        auto it = lowerBound(key);
        return it != entries.end() && (*it)->key() == key ? *it : nullptr;
    }
    // The entry of key, inserted with an Undefined value when missing.
    var& at(std::string_view key) {
        auto it = entries.empty() || entries.back()->key() < key ? entries.end() : lowerBound(key);
        if (it != entries.end() && (*it)->key() == key) return (*it)->value;
        MapEntry* e = MapEntry::makeWithSlot(key);
        try {
            entries.insert(it, e);
        } catch (...) {
            MapEntry::destroy(e);
            throw;
        }
        return e->value;
    }
};

struct ArrayNode {
    std::atomic<uint32_t> refs{1};  // slots holding this array
    std::vector<var> elements;

    static ArrayNode* make() { return new (BlockPool::allocate(sizeof(ArrayNode))) ArrayNode; }
    static void drop(ArrayNode* a) noexcept {
        if (!dropIsLast(a->refs)) return;
        a->~ArrayNode();
        BlockPool::deallocate(a, sizeof(ArrayNode));
    }
};

void Slot::clear() noexcept {
    switch (kind) {
        case var::Map:
            MapNode::drop(map);
            break;
        case var::Array:
            ArrayNode::drop(array);
            break;
        case LongString:
            delete text;
            break;
        default:
            break;
    }
    kind = var::Undefined;
}

void Slot::setMap(MapNode* m) noexcept {
    clear();
    map = m;
    kind = var::Map;
}

void Slot::setArray(ArrayNode* a) noexcept {
    clear();
    array = a;
    kind = var::Array;
}

}  // namespace detail

using detail::ArrayNode;
using detail::MapEntry;
using detail::MapNode;
using detail::Slot;

namespace {

const char* const OutOfRange = "Out of range";

}  // namespace

// ---------------------------------------------------------------------------
// Construction and assignment

var::var() : data(Slot::make()) {}
// A move shares the slot like a copy: a moved-from handle stays usable.
var::var(const var& other) : data(other.data) {
    detail::retain(data->refs);
}
var::var(var&& other) noexcept : data(other.data) {
    detail::retain(data->refs);
}
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
var::var(std::string v) : data(Slot::make(v.size())) {
    data->setString(std::move(v));
}
var::var(const char* v) : data(Slot::make(std::strlen(v))) {
    data->setString(v, std::strlen(v));
}
var::var(std::initializer_list<var> elements) : var() {
    makeArray(elements);
}
var::var(bytes& jsonText) : var(static_cast<const bytes&>(jsonText)) {}
var::var(const bytes& jsonText) : var(fromJsonString(std::string(jsonText))) {}
var::~var() {
    Slot::drop(data);
}

var var::randomHex(int n) {
    return var(bytes(static_cast<unsigned>(n)).randomize().toHex());
}

var& var::operator=(const var& other) {
    detail::retain(other.data->refs);
    Slot::drop(data);
    data = other.data;
    return *this;
}

var& var::operator=(var&& other) noexcept {
    detail::retain(other.data->refs);
    Slot::drop(data);
    data = other.data;
    return *this;
}

// `other` holds its slot while this one lets go of its value, which may be what
// holds other's slot (a <= a["k"]).
var& var::operator<=(var other) {
    Slot* from = other.data;
    if (from == data) return *this;
    switch (from->kind) {
        case Map:
            detail::retain(from->map->refs);
            data->setMap(from->map);
            break;
        case Array:
            detail::retain(from->array->refs);
            data->setArray(from->array);
            break;
        case String:
        case detail::LongString: {
            const std::string_view s = from->string();
            data->setString(s.data(), s.size());
            break;
        }
        default:
            data->clear();
            data->kind = from->kind;
            std::memcpy(&data->real, &from->real, sizeof from->real);
            break;
    }
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
    if (data == other.data) return true;
    if (data->kind != other.data->kind) return false;
    if (data->kind == Map) return data->map == other.data->map;
    if (data->kind == Array) return data->array == other.data->array;
    return false;
}

void var::makeReal(double v) {
    data->clear();
    data->real = v;
    data->kind = Real;
}
void var::makeInteger(long v) {
    data->clear();
    data->integer = v;
    data->kind = Integer;
}
void var::makeBoolean(bool v) {
    data->clear();
    data->boolean = v;
    data->kind = Boolean;
}
void var::makeString(std::string v) {
    data->setString(std::move(v));
}
void var::makeMap() {
    data->setMap(MapNode::make());
}
void var::makeArray() {
    data->setArray(ArrayNode::make());
}
void var::makeArray(std::initializer_list<var> elements) {
    ArrayNode* a = ArrayNode::make();
    a->elements.assign(elements.begin(), elements.end());
    data->setArray(a);
}
void var::ensureMap() {
    if (data->kind != Map) makeMap();
}
void var::ensureArray() {
    if (data->kind != Array) makeArray();
}

// ---------------------------------------------------------------------------
// Kinds and scalars

var::var_type var::type() const {
    return data->kind == detail::LongString ? String : static_cast<var_type>(data->kind);
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
    return data->real;
}

long var::integerValue() const {
    throwUnexpectedType("var::integerValue()", Integer);
    return data->integer;
}

bool var::booleanValue() const {
    throwUnexpectedType("var::booleanValue()", Boolean);
    return data->boolean;
}

std::string var::stringValue() const {
    throwUnexpectedType("var::stringValue()", String);
    return std::string(data->string());
}

var::operator std::string() const {
    throwUnexpectedType("var::string()", String);
    return std::string(data->string());
}

double var::realValue(double d) const {
    return data->kind == Real ? data->real : d;
}
long var::integerValue(long d) const {
    return data->kind == Integer ? data->integer : d;
}
bool var::booleanValue(bool d) const {
    return data->kind == Boolean ? data->boolean : d;
}
std::string var::stringValue(std::string d) const {
    return data->isString() ? std::string(data->string()) : d;
}

// ---------------------------------------------------------------------------
// Maps

var& var::entry(const std::string& key) {
    ensureMap();
    return data->map->at(key);
}

const var& var::entry(const std::string& key) const {
    throwUnexpectedType("var::operator[](var)", Map);
    return data->map->at(key);
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
    const MapEntry* e = data->map->find(key.stringValue());
    return e != nullptr && e->value.isDefined();
}

var& var::remove(var key) {
    ensureMap();
    MapNode* m = data->map;
    const std::string k = key.stringValue();
    auto it = m->lowerBound(k);
    if (it != m->entries.end() && (*it)->key() == k) {
        MapEntry* e = *it;
        m->entries.erase(it);
        MapEntry::destroy(e);
    }
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
    for (const MapEntry* e : data->map->entries) {
        if (e->value.isDefined()) result.emplace_hint(result.end(), e->key());
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
    for (const MapEntry* e : data->map->entries) {
        if (e->value.isDefined()) result.push_back(e->value);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Arrays

var& var::operator[](unsigned i) {
    ensureArray();
    return data->array->elements.at(i);
}

const var& var::operator[](unsigned i) const {
    throwUnexpectedType("var::operator[](uint)", Array);
    auto& v = data->array->elements;
    if (i >= v.size()) throw std::runtime_error(OutOfRange);
    return v[i];
}

var& var::add(var v) {
    ensureArray();
    auto& elements = data->array->elements;
    elements.push_back(std::move(v));
    return elements.back();
}

var& var::remove(unsigned i) {
    ensureArray();
    auto& v = data->array->elements;
    if (i >= v.size()) throw std::runtime_error(OutOfRange);
    v.erase(v.begin() + i);
    return *this;
}

var& var::last() const {
    throwUnexpectedType("var::last()", Array);
    auto& v = data->array->elements;
    if (v.empty()) throw std::runtime_error(OutOfRange);
    return v.back();
}

std::vector<var>& var::arrayValue() {
    ensureArray();
    return data->array->elements;
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
            return static_cast<unsigned>(data->array->elements.size());
        default:
            break;
    }
    throwUnexpectedType("var::size()", Map);
    unsigned n = 0;
    for (const MapEntry* e : data->map->entries) {
        if (e->value.isDefined()) ++n;
    }
    return n;
}

// ---------------------------------------------------------------------------
// Equality and deep copy. Both recurse once per nesting level; the reader
// refuses text nested deeper than 512 levels, so received values stay shallow.

bool var::operator==(const var& other) const {
    const Slot* a = data;
    const Slot* b = other.data;
    if (a->isString()) return b->isString() && a->string() == b->string();
    if (a->kind != b->kind) return false;
    switch (a->kind) {
        case Map: {
            // Walk both sorted maps together, stepping over Undefined entries.
            const auto& x = a->map->entries;
            const auto& y = b->map->entries;
            auto i = x.begin();
            auto j = y.begin();
            for (;;) {
                while (i != x.end() && (*i)->value.isUndefined()) ++i;
                while (j != y.end() && (*j)->value.isUndefined()) ++j;
                if (i == x.end() || j == y.end()) return i == x.end() && j == y.end();
                if ((*i)->key() != (*j)->key() || !((*i)->value == (*j)->value)) return false;
                ++i;
                ++j;
            }
        }
        case Array: {
            const auto& x = a->array->elements;
            const auto& y = b->array->elements;
            if (x.size() != y.size()) return false;
            for (size_t k = 0; k < x.size(); ++k) {
                if (!(x[k] == y[k])) return false;
            }
            return true;
        }
        case Real:
            return a->real == b->real;
        case Integer:
            return a->integer == b->integer;
        case Boolean:
            return a->boolean == b->boolean;
        default:
            return true;
    }
}

namespace {

// Bytes a copy of the value keeps inline: the string's length for a string.
size_t inlineLength(const Slot* s) {
    return s->isString() ? s->string().size() : 0;
}

// Copies the value of `from` deeply into the fresh, Undefined slot `to`.
void cloneInto(Slot* to, const Slot* from) {
    switch (from->kind) {
        case var::Map: {
            MapNode* m = MapNode::make();
            to->setMap(m);
            const auto& entries = from->map->entries;
            m->entries.reserve(entries.size());
            for (size_t k = 0; k < entries.size(); ++k) {
                MapNode::prefetchAhead(entries, k);
                const MapEntry* e = entries[k];
                const Slot* value = e->slot();
                if (value->kind == var::Undefined) continue;
                MapEntry* copy = MapEntry::makeWithSlot(e->key(), inlineLength(value));
                m->entries.push_back(copy);  // reserved: cannot throw
                cloneInto(copy->slot(), value);
            }
            break;
        }
        case var::Array: {
            ArrayNode* a = ArrayNode::make();
            to->setArray(a);
            const auto& elements = from->array->elements;
            a->elements.reserve(elements.size());
            for (const var& e : elements) a->elements.push_back(e.clone());
            break;
        }
        case var::String:
        case detail::LongString: {
            const std::string_view text = from->string();
            to->setString(text.data(), text.size());
            break;
        }
        default:
            to->kind = from->kind;
            std::memcpy(&to->real, &from->real, sizeof from->real);
            break;
    }
}

}  // namespace

var var::clone() const {
    var result(Slot::make(inlineLength(data)));
    cloneInto(result.data, data);
    return result;
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
    explicit JsonWriter(int indentIncrement) : increment(indentIncrement) { at = stop = &out[0]; }

    std::string write(const var& v, int indent, bool firstIncremented) {
        write(v.data, indent, firstIncremented);
        out.resize(static_cast<size_t>(at - out.data()));
        return std::move(out);
    }

private:
    void write(const Slot* s, int indent, bool firstIncremented) {
        switch (s->kind) {
            case var::String:
            case detail::LongString:
                writeString(s->string());
                break;
            case var::Boolean:
                if (s->boolean) {
                    put("true", 4);
                } else {
                    put("false", 5);
                }
                break;
            case var::Real:
                writeReal(s->real);
                break;
            case var::Integer:
                writeInteger(s->integer);
                break;
            case var::Map:
                writeMap(s->map->entries, indent, firstIncremented);
                break;
            case var::Array:
                writeArray(s->array->elements, indent, firstIncremented);
                break;
            default:
                put("undefined", 9);
                break;
        }
    }

    // The text is written straight into `out`, which grows by doubling and is cut
    // to the written length at the end.
    void reserve(size_t n) {
        if (static_cast<size_t>(stop - at) < n) grow(n);
    }
    void grow(size_t n) {
        const size_t used = static_cast<size_t>(at - out.data());
        out.resize(std::max(out.size() * 2, used + n + 64));
        at = &out[0] + used;
        stop = &out[0] + out.size();
    }
    void put(char c) {
        reserve(1);
        *at++ = c;
    }
    void put(const char* p, size_t n) {
        reserve(n);
        std::memcpy(at, p, n);
        at += n;
    }

    // A newline and `indent` spaces in indented text, nothing in compact text.
    void newLine(int indent) {
        if (increment <= 0) return;
        const size_t spaces = static_cast<size_t>(std::max(indent, 0));
        reserve(spaces + 1);
        *at++ = '\n';
        std::memset(at, ' ', spaces);
        at += spaces;
    }

    void writeMap(const MapNode::Entries& m, int indent, bool firstIncremented) {
        if (m.empty()) {
            put("{}", 2);
            return;
        }
        if (firstIncremented) newLine(indent);
        put('{');
        bool first = true;
        for (size_t k = 0; k < m.size(); ++k) {
            MapNode::prefetchAhead(m, k);
            const MapEntry* e = m[k];
            const Slot* s = e->slot();
            if (s->kind == var::Undefined) continue;
            if (!first) put(',');
            first = false;
            newLine(indent + increment);
            writeString(e->key());
            put(':');
            write(s, indent + increment, true);
        }
        newLine(indent);
        put('}');
    }

    void writeArray(const std::vector<var>& a, int indent, bool firstIncremented) {
        if (a.empty()) {
            put("[]", 2);
            return;
        }
        if (firstIncremented) newLine(indent);
        put('[');
        bool first = true;
        for (const auto& e : a) {
            if (!first) put(',');
            first = false;
            newLine(indent + increment);
            write(e.data, indent + increment, false);
        }
        newLine(indent);
        put(']');
    }

    // A backslash goes before every double quote and every backslash; every other
    // byte (newlines and control characters included) is written as it is, and the
    // reader turns backslash-x back into x.
    void writeString(std::string_view s) {
        reserve(2 * s.size() + 2);
        char* w = at;  // a local copy: stores through char* could otherwise change `at`
        *w++ = '"';
        for (const char c : s) {
            if (c == '"' || c == '\\') *w++ = '\\';
            *w++ = c;
        }
        *w++ = '"';
        at = w;
    }

    void writeInteger(long v) {
        reserve(24);
        at = std::to_chars(at, stop, v).ptr;
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
            put("0.0", 3);
            return;
        }
        reserve(32);
        if (writeShortReal(f)) return;
        // Same digits as printf's "%.6g" of the float.
        char* begin = at;
        at = std::to_chars(at, stop, static_cast<double>(f), std::chars_format::general, 6).ptr;
        const size_t len = static_cast<size_t>(at - begin);
        if (std::memchr(begin, '.', len) == nullptr && std::memchr(begin, 'e', len) == nullptr) put(".0", 2);
    }

    // Most reals the system writes (progress, settings) have a short exact decimal
    // form: v times 10^d is a whole number below 10^6 for some d <= 6. Then "%.6g"
    // writes exactly those digits (plain notation, since 1e-4 <= |v| < 1e6) and no
    // rounding is involved, so they are written here without the general routine.
    // The product is exact: a float has 24 significant bits and 10^6 needs 20.
    bool writeShortReal(float f) {
        const double v = std::fabs(static_cast<double>(f));
        if (!(v >= 1e-4 && v < 1e6)) return false;
        static constexpr double Scale[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6};
        for (unsigned d = 0; d < 7; ++d) {
            const double x = v * Scale[d];
            if (x >= 1e6) return false;
            const auto n = static_cast<uint32_t>(x);
            if (static_cast<double>(n) != x) continue;
            if (f < 0) *at++ = '-';
            const uint32_t unit = static_cast<uint32_t>(Scale[d]);
            at = std::to_chars(at, stop, n / unit).ptr;
            *at++ = '.';
            if (d == 0) {
                *at++ = '0';
                return true;
            }
            // The fraction's d digits, leading zeros included; the last one is not 0
            // since a smaller d would have given a whole number.
            uint32_t fraction = n % unit;
            for (unsigned k = d; k-- > 0;) {
                at[k] = static_cast<char>('0' + fraction % 10);
                fraction /= 10;
            }
            at += d;
            return true;
        }
        return false;
    }

    std::string out;
    char* at = nullptr;    // where the next byte goes
    char* stop = nullptr;  // end of out
    int increment;
};

std::string var::toJsonString() const {
    return toJsonString(0, 0, false);
}

std::string var::toJsonString(int indentIncrement) const {
    return toJsonString(0, indentIncrement, false);
}

std::string var::toJsonString(int indent, int indentIncrement, bool firstIncremented) const {
    return JsonWriter(indentIncrement).write(*this, indent, firstIncremented);
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
    JsonReader(const JsonReader&) = delete;
    JsonReader& operator=(const JsonReader&) = delete;
    ~JsonReader() {
        for (Pair& pr : stack) {
            pr.key.reset();
            pr.val.reset();
        }
        for (const PendingEntry& e : entries) MapEntry::destroy(e.entry);
    }

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
            Pending& s = slot();
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
                    i = readNumber(s, i);
                    break;
                case var::String:
                    i = readString(s, i);
                    break;
                case var::Map:
                    readMap(s, c);
                    ++i;
                    break;
                case var::Array:
                    if (readArray(c)) ++i;
                    break;
            }
        }
        Pending& s = slot();
        if (s.kind == var::Integer || s.kind == var::Real) finishNumber(s);
        if (depth != 1) throw std::runtime_error("Invalid json. Stack non-empty.");
        return materialize(s);
    }

private:
    // The key or value of one pair while it is being read. Scalars keep their
    // value here until they are stored; containers hold their node from the start.
    struct Pending {
        int kind = var::Undefined;
        bool boolean = false;
        long integer = 0;
        double real = 0.0;
        // A string: a view of the text, or of `own` when it had escapes (the
        // stack may move `own` when it grows, so the view is made when used).
        std::string_view view;
        std::string own;
        bool escaped = false;
        MapNode* map = nullptr;      // owned until the value is stored
        ArrayNode* array = nullptr;  // owned until the value is stored
        size_t storedEntries = 0;    // entries stored in an open map (on the reader's stack until it closes)
        bool closed = false;         // a map whose closing brace was read

        std::string_view string() const { return escaped ? std::string_view(own) : view; }

        void reset() {
            kind = var::Undefined;
            if (map != nullptr) MapNode::drop(map);
            if (array != nullptr) ArrayNode::drop(array);
            map = nullptr;
            array = nullptr;
        }
    };
    struct Pair {
        Pending key;
        Pending val;
    };

    Pending& slot() { return curIsKey ? stack[cur].key : stack[cur].val; }
    Pending& top() { return stack[depth - 1].val; }

    // The current value is the container of the topmost pair (the value of the
    // pair below the top).
    bool isContainer() const { return depth >= 2 && !curIsKey && cur == depth - 2; }

    void push() {
        if (depth > MaxNesting) throw std::runtime_error(TooDeep);
        if (depth == stack.size()) stack.resize(stack.size() * 2);
        Pair& pr = stack[depth++];
        discard(pr.key);
        discard(pr.val);
    }

    void pop() { --depth; }

    // The next character applies to the key or the value of the topmost pair.
    void focusTop(bool key) {
        cur = depth - 1;
        curIsKey = key;
    }

    void startValue(Pending& s, char c) {
        switch (c) {
            case '{':
            case '[':
                if (cur >= MaxNesting) throw std::runtime_error(TooDeep);
                s.kind = c == '{' ? var::Map : var::Array;
                if (c == '{') {
                    s.storedEntries = 0;
                    s.closed = false;
                    s.map = MapNode::make();
                } else {
                    s.array = ArrayNode::make();
                }
                break;
            case '"':
                s.kind = var::String;
                s.view = {};
                s.escaped = false;
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

    void readBoolean(Pending& s, char c) {
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

    static void makeReal(Pending& s) {
        if (s.kind != var::Real) {
            s.kind = var::Real;
            s.real = 0.0;
        }
    }

    // Reads the characters of a number from i on; returns the index of the first one
    // that ends it (handled again once the number is complete) or the end.
    size_t readNumber(Pending& s, size_t i) {
        for (; i < n; ++i) {
            const char c = p[i];
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
                continue;
            }
            switch (c) {
                case '.':
                    if (!dotPassed) {
                        dotPassed = true;
                        makeReal(s);
                    }
                    continue;
                case 'e':
                case 'E':
                    ePassed = true;
                    eSignAllowed = true;
                    makeReal(s);
                    continue;
                case '+':
                case '-':
                    if (eSignAllowed) {
                        eNegative = c == '-';
                        eSignAllowed = false;
                    }
                    continue;
                default:
                    // This number sits where the next character would be handed after
                    // it ends (it follows a finished value without a separator):
                    // handing the character back would end it again, forever.
                    if (isContainer())
                        throw std::runtime_error("Invalid json. Missing separator between values.");
                    finishNumber(s);
                    complete = true;
                    return i;
            }
        }
        return i;
    }

    // The digits are gathered in a 64-bit accumulator (digits beyond 19 significant
    // ones only raise the exponent). An integer becomes an Integer only when it fits
    // a 32-bit signed integer, on every platform, so that a peer whose long has 32
    // bits reads the same value as one whose long has 64; a larger integer becomes
    // a Real. A Real is the accumulator times ten to the exponent, by repeated
    // multiplication or division (beyond 400 steps the result is already infinite
    // or zero, so the steps stop there).
    void finishNumber(Pending& s) {
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
    size_t readString(Pending& s, size_t i) {
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
            s.own.swap(buffer);
            s.escaped = true;
            openned = false;
            complete = true;
            return i + 1;
        }
        size_t j = i + 1;
        while (j < n && p[j] != '"' && p[j] != '\\') ++j;
        if (j < n && p[j] == '"' && buffer.empty()) {
            // A string without a backslash goes straight into the value.
            s.view = std::string_view(p + i, j - i);
            openned = false;
            complete = true;
            return j + 1;
        }
        buffer.append(p + i, j - i);
        return j;
    }

    void readMap(Pending& map, char c) {
        switch (c) {
            case '"': {
                push();
                Pending& key = stack[depth - 1].key;
                key.kind = var::String;
                key.view = {};
                key.escaped = false;
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
                closeMap(map);
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

    // A map's entries wait on a stack shared by all open maps, so that each map's
    // vector is made once, of its final size, when the map closes.
    void storeEntry() {
        Pair& pr = stack[depth - 1];
        if (pr.key.kind != var::String) {
            // Throws the error of a key that is not a String.
            (void)static_cast<std::string>(materialize(pr.key));
        }
        Pending& map = stack[depth - 2].val;
        MapEntry* e = MapEntry::makeWithSlot(pr.key.string(), inlineLength(pr.val));
        try {
            if (map.closed) {
                // Odd text can make a closed map the container again: the entry goes
                // straight in (a repeated key keeps the last value).
                MapNode::Entries& m = map.map->entries;
                auto at = map.map->lowerBound(e->key());
                if (at != m.end() && (*at)->key() == e->key()) {
                    MapEntry::destroy(*at);
                    *at = e;
                } else {
                    m.insert(at, e);
                }
            } else {
                entries.push_back({e, map.map});
                ++map.storedEntries;
            }
        } catch (...) {
            MapEntry::destroy(e);
            throw;
        }
        fill(e->value.data, pr.val);
    }

    // Keys written by the writer arrive in order and once each. Otherwise the
    // entries are sorted by key, and of a repeated key the last value is kept.
    void closeMap(Pending& map) {
        MapNode::Entries& into = map.map->entries;
        const size_t n = map.storedEntries;
        auto first = entries.end() - static_cast<std::ptrdiff_t>(std::min(n, entries.size()));
        const bool onTop =
            n <= entries.size() &&
            std::all_of(first, entries.end(), [&map](const PendingEntry& e) { return e.map == map.map; });
        if (!onTop) {
            // Odd text (a map as a key, say) left other maps' entries among them.
            const MapNode::Entries own = takeEntries(map.map);
            into.insert(into.end(), own.begin(), own.end());
        } else {
            into.reserve(into.size() + n);
            for (auto it = first; it != entries.end(); ++it) into.push_back(it->entry);
            entries.erase(first, entries.end());
        }
        map.storedEntries = 0;
        map.closed = true;
        const auto keyLess = [](const MapEntry* a, const MapEntry* b) { return a->key() < b->key(); };
        const auto notBelow = [](const MapEntry* a, const MapEntry* b) { return !(a->key() < b->key()); };
        if (std::adjacent_find(into.begin(), into.end(), notBelow) == into.end()) return;
        std::stable_sort(into.begin(), into.end(), keyLess);
        auto kept = into.begin();
        for (auto it = into.begin(); it != into.end(); ++it) {
            if (it + 1 != into.end() && (*(it + 1))->key() == (*it)->key()) {
                MapEntry::destroy(*it);
            } else {
                *kept++ = *it;
            }
        }
        into.erase(kept, into.end());
    }

    // The entries stored in the map, in order, off the stack.
    MapNode::Entries takeEntries(const MapNode* map) {
        MapNode::Entries own;
        auto kept = entries.begin();
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->map == map) {
                own.push_back(it->entry);
            } else {
                *kept++ = *it;
            }
        }
        entries.erase(kept, entries.end());
        return own;
    }

    // A map dropped before it closed takes its entries with it.
    void discard(Pending& s) {
        if (s.map != nullptr) discardMap(s);
        if (s.array != nullptr) ArrayNode::drop(s.array);
        s.array = nullptr;
        s.kind = var::Undefined;
    }
    __attribute__((noinline)) void discardMap(Pending& s) {
        for (MapEntry* e : takeEntries(s.map)) MapEntry::destroy(e);
        MapNode::drop(s.map);
        s.map = nullptr;
    }

    void appendElement() { stack[depth - 2].val.array->elements.push_back(materialize(top())); }

    static var materialize(Pending& s) { return var(take(s)); }

    static size_t inlineLength(const Pending& s) { return s.kind == var::String ? s.string().size() : 0; }

    // A new slot (one reference, handed to the caller) holding the value.
    static Slot* take(Pending& s) {
        Slot* slot = Slot::make(inlineLength(s));
        try {
            fill(slot, s);
        } catch (...) {
            Slot::drop(slot);
            throw;
        }
        return slot;
    }

    // Puts the value into the fresh, Undefined slot `to`; a container's node moves.
    static void fill(Slot* to, Pending& s) {
        switch (s.kind) {
            case var::Map:
                to->setMap(s.map);
                s.map = nullptr;
                break;
            case var::Array:
                to->setArray(s.array);
                s.array = nullptr;
                break;
            case var::Real:
                to->real = s.real;
                to->kind = var::Real;
                break;
            case var::Integer:
                to->integer = s.integer;
                to->kind = var::Integer;
                break;
            case var::Boolean:
                to->boolean = s.boolean;
                to->kind = var::Boolean;
                break;
            case var::String: {
                const std::string_view text = s.string();
                to->setString(text.data(), text.size());
                break;
            }
            default:
                break;
        }
    }

    static constexpr const char* TooDeep = "Invalid json. Nesting deeper than 512 levels.";
    static constexpr std::string_view UndefinedWord = "undefined";
    static constexpr int64_t ExponentCap = 100000;

    const char* p;
    size_t n;

    std::vector<Pair> stack;  // entries beyond depth are kept for reuse
    struct PendingEntry {
        MapEntry* entry;
        const MapNode* map;  // the map it was stored in
    };
    std::vector<PendingEntry> entries;  // entries of the open maps, in the order stored
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
