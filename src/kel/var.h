// kel::var: the one dynamic, JSON-shaped value of the system (map, array, real,
// integer, boolean, string, undefined) with reference semantics: copies of a var
// share one slot, and a kind-changing assignment replaces the value inside the slot
// so every sharer sees it; only clone() copies. No locking: handles may be copied
// and dropped on any thread, but a shared value needs the caller's serialisation.
//
// Layout (compact for the 32-bit board): a var is one pointer to its slot. A slot
// is one pooled block holding its reference count, its kind and the value itself:
// a number or boolean, a string of up to 120 bytes inline, or a pointer to a map
// or array node (shared by content assignment) or to a longer string. A map node
// keeps its entries as a vector of pointers sorted by key bytes; each entry is one
// pooled block (the value's handle, the key's bytes and, for an entry made with
// its value, that value's slot), so a var& to an entry stays valid while the map
// grows, as it did with a node-based map. Numbers, booleans and strings live in
// their slot, so a content assignment (<=) copies them rather than sharing.
#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kel/BlockPool.h"
#include "kel/bytes.h"

namespace kel {

namespace detail {
struct Slot;
struct MapNode;
struct MapEntry;
struct ArrayNode;
}  // namespace detail

class var {
public:
    enum var_type { Map = 0, Array = 1, Real = 2, Integer = 3, Boolean = 4, String = 5, Undefined = 6 };

    typedef std::vector<var>::iterator iterator;

    var();
    var(const var& other);
    var(var&& other) noexcept;
    var(double v);
    var(int v);
    var(long v);
    var(unsigned v);
    var(unsigned long v);
    var(long long v);
    var(bool v);
    var(std::string v);
    var(const char* v);
    var(std::initializer_list<var> elements);
    var(bytes& jsonText);
    var(const bytes& jsonText);
    ~var();

    static var randomHex(int n);
    static var fromJsonString(const std::string& json);

    // Rebinding: *this now shares other's slot.
    var& operator=(const var& other);
    var& operator=(var&& other) noexcept;
    // Content assignment: the node in *this's slot becomes other's current node.
    var& operator<=(var other);
    var& operator=(double v);
    var& operator=(int v);
    var& operator=(long v);
    var& operator=(unsigned v);
    var& operator=(unsigned long v);
    var& operator=(long long v);
    var& operator=(bool v);
    var& operator=(std::string v);
    var& operator=(const char* v);

    // True when both handles reach the very same value: they share the slot, or
    // they hold the very same map or array (after a content assignment). Numbers,
    // booleans and strings live in their slot, so a content assignment copies them
    // and only handles of one slot reach the same one.
    bool operator&=(const var& other) const;

    var_type type() const;
    bool isUndefined() const { return type() == Undefined; }
    bool isDefined() const { return type() != Undefined; }
    bool isString() const { return type() == String; }
    bool isReal() const { return type() == Real; }
    bool isInteger() const { return type() == Integer; }
    bool isBoolean() const { return type() == Boolean; }
    bool isMap() const { return type() == Map; }
    bool isArray() const { return type() == Array; }

    double realValue() const;
    long integerValue() const;
    bool booleanValue() const;
    std::string stringValue() const;
    operator std::string() const;
    double realValue(double d) const;
    long integerValue(long d) const;
    bool booleanValue(bool d) const;
    std::string stringValue(std::string d) const;

    // Map operations (keys are String vars).
    var& operator[](var key);
    const var& operator[](var key) const;
    var& operator[](const char* key) { return entry(std::string(key)); }
    const var& operator[](const char* key) const { return entry(std::string(key)); }
    var& operator[](const std::string& key) { return entry(key); }
    const var& operator[](const std::string& key) const { return entry(key); }
    bool has(var key);
    bool has(var key) const;
    var& remove(var key);
    std::set<std::string> keys();
    std::set<std::string> keys() const;
    std::vector<var> values();
    std::vector<var> values() const;

    // Array operations.
    var& operator[](unsigned i);
    const var& operator[](unsigned i) const;
    var& operator[](int i) { return (*this)[static_cast<unsigned>(i)]; }
    const var& operator[](int i) const { return (*this)[static_cast<unsigned>(i)]; }
    var& add(var v);
    var& remove(unsigned i);
    var& remove(int i) { return remove(static_cast<unsigned>(i)); }
    var& last() const;
    std::vector<var>& arrayValue();
    iterator begin();
    iterator end();

    unsigned size() const;
    unsigned length() const { return size(); }

    bool operator==(const var& other) const;
    bool operator!=(const var& other) const { return !(*this == other); }

    var clone() const;

    operator bytes() const;

    // JSON text: compact, indented, or fully parameterised.
    std::string toJsonString() const;
    std::string toJsonString(int indentIncrement) const;
    std::string toJsonString(int indent, int indentIncrement, bool firstIncremented) const;

    void throwUnexpectedType(std::string where, var_type expected) const;
    static std::string typeName(int type);

private:
    // Takes over one reference to the slot (the reader builds slots directly).
    explicit var(detail::Slot* adopted) noexcept : data(adopted) {}

    var& entry(const std::string& key);
    const var& entry(const std::string& key) const;

    void makeReal(double v);
    void makeInteger(long v);
    void makeBoolean(bool v);
    void makeString(std::string v);
    void makeMap();
    void makeArray();
    void makeArray(std::initializer_list<var> elements);
    void ensureMap();
    void ensureArray();

    detail::Slot* data;

    friend class var_array;
    friend class var_map;
    friend class JsonWriter;
    friend class JsonReader;
    friend struct detail::Slot;
    friend struct detail::MapEntry;
};

class var_array : public var {
public:
    var_array();
    var_array(var v);
    var_array(std::initializer_list<var> elements);
};

class var_map : public var {
public:
    var_map();
    var_map(var v);
};

std::ostream& operator<<(std::ostream& os, const var& v);

// Text of a value as a string stream writes it.
template <typename T>
std::string to_string(T value) {
    std::ostringstream os;
    os << value;
    return os.str();
}

void ltrim(std::string& s);
void rtrim(std::string& s);
void trim(std::string& s);

}  // namespace kel
