#include "Vant/StateMachine/Task.h"

#include <utility>

#include "Vant/StateMachine/RecordKeys.h"

namespace Vant {
namespace StateMachine {

namespace {

typedef std::vector<std::pair<std::string, kel::var>> Entries;

// The defined entries of the map under `key`, in key order (none when the record has
// no such map).
Entries entriesOf(const kel::var& record, const kel::var& key) {
    Entries entries;
    if (!record.isMap() || !record.has(key)) return entries;
    const kel::var& map = record[key];
    if (!map.isMap()) return entries;
    const std::set<std::string> names = map.keys();
    const std::vector<kel::var> values = map.values();
    entries.reserve(names.size());
    auto value = values.begin();
    for (const std::string& name : names) entries.emplace_back(name, *value++);
    return entries;
}

// Walks two key-ordered entry lists together and calls onlyA(a), onlyB(b) or
// both(a, b) for every key of their union, in ascending order.
template <typename OnlyA, typename OnlyB, typename Both>
void mergeWalk(const Entries& a, const Entries& b, OnlyA onlyA, OnlyB onlyB, Both both) {
    auto i = a.begin();
    auto j = b.begin();
    while (i != a.end() || j != b.end()) {
        if (j == b.end() || (i != a.end() && i->first < j->first)) {
            onlyA(*i++);
        } else if (i == a.end() || j->first < i->first) {
            onlyB(*j++);
        } else {
            both(*i++, *j++);
        }
    }
}

void ignore(const Entries::value_type&) {}

}  // namespace

Task::Task() : kel::var(kel::var_map()) {}

Task::Task(kel::var v) : kel::var(v) {}

Task::Task(const std::string& stateType) : Task() {
    (*this)["id"] = kel::var::randomHex(4);
    (*this)["class"] = "Task";
    (*this)["stateType"] = stateType;
}

Task::Task(const char* stateType) : Task(std::string(stateType)) {}

StateInstance Task::makeStateInstance(const std::string& stateType) {
    StateInstance instance(stateType);
    addInstance(instance);
    return instance;
}

StateInstance Task::getInstance(const std::string& id) const {
    if (!hasInstance(id)) return StateInstance();
    return StateInstance((*this)["instances"][id]);
}

void Task::addInstance(StateInstance instance) {
    (*this)["instances"][instance["id"].stringValue()] = instance;
}

bool Task::hasInstance(const std::string& id) const {
    return isMap() && has(recordKeys().instances) && (*this)["instances"].isMap() &&
           (*this)["instances"].has(id);
}

std::vector<StateInstance> Task::instances() const {
    std::vector<StateInstance> result;
    for (const auto& entry : entriesOf(*this, recordKeys().instances)) result.emplace_back(entry.second);
    return result;
}

Task Task::setVariable(const std::string& name, kel::var value) {
    (*this)["data"][name] = value;
    return *this;
}

kel::var Task::getVariable(const std::string& name) const {
    if (!hasVariable(name)) return kel::var();
    return (*this)["data"][name];
}

bool Task::hasVariable(const std::string& name) const {
    return isMap() && has(recordKeys().data) && (*this)["data"].isMap() && (*this)["data"].has(name);
}

Task Task::operator-(const Task& older) const {
    Task d;
    mergeWalk(
        entriesOf(*this, recordKeys().instances), entriesOf(older, recordKeys().instances),
        [&d](const Entries::value_type& added) { d["instances"][added.first] = added.second.clone(); },
        ignore,
        [&d](const Entries::value_type& newer, const Entries::value_type& old) {
            const StateInstance instance(newer.second);
            if (instance.changedSince(old.second)) d["instances"][newer.first] = instance - old.second;
        });
    mergeWalk(
        entriesOf(*this, recordKeys().data), entriesOf(older, recordKeys().data),
        [&d](const Entries::value_type& added) { d["data"][added.first] = added.second; }, ignore,
        [&d](const Entries::value_type& newer, const Entries::value_type& old) {
            if (newer.second != old.second) d["data"][newer.first] = newer.second;
        });
    for (const kel::var* key : {&recordKeys().recordClass, &recordKeys().stateType}) {
        if (has(*key) && !older.has(*key)) d[*key] = (*this)[*key].clone();
    }
    return d;
}

Task Task::operator+(const Task& difference) const {
    Task r;
    StateInstance::copyIdentity(r, *this, difference);
    auto copy = [&r](const Entries::value_type& only) { r["instances"][only.first] = only.second.clone(); };
    mergeWalk(entriesOf(*this, recordKeys().instances), entriesOf(difference, recordKeys().instances), copy,
              copy, [&r](const Entries::value_type& old, const Entries::value_type& change) {
                  r["instances"][old.first] = StateInstance(old.second) + StateInstance(change.second);
              });
    auto share = [&r](const Entries::value_type& only) { r["data"][only.first] = only.second; };
    mergeWalk(entriesOf(*this, recordKeys().data), entriesOf(difference, recordKeys().data), share, share,
              [&r](const Entries::value_type&, const Entries::value_type& change) {
                  r["data"][change.first] = change.second;
              });
    return r;
}

bool Task::isDeletion() const {
    return isMap() && has(recordKeys().diff) && (*this)["diff"].stringValue("") == "deleted";
}

bool Task::isDifference() const {
    return has(recordKeys().diff) || !has(recordKeys().stateType);
}

bool Task::hasDifference() const {
    if (has(recordKeys().diff)) return true;
    if (!isDifference()) return true;
    if (!entriesOf(*this, recordKeys().data).empty()) return true;
    for (const StateInstance& instance : instances()) {
        if (instance.hasDifference()) return true;
    }
    return false;
}

Task Task::cloneLight() const {
    Task r;
    for (const kel::var* key :
         {&recordKeys().id, &recordKeys().recordClass, &recordKeys().stateType, &recordKeys().diff}) {
        if (has(*key)) r[*key] = (*this)[*key].clone();
    }
    for (const auto& entry : entriesOf(*this, recordKeys().instances)) {
        r["instances"][entry.first] = StateInstance(entry.second).cloneLight();
    }
    for (const auto& entry : entriesOf(*this, recordKeys().data)) r.setVariable(entry.first, entry.second);
    return r;
}

}  // namespace StateMachine
}  // namespace Vant
