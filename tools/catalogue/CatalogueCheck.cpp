#include "CatalogueCheck.h"

#include <exception>
#include <set>

#include "Vant/StateMachine/StateType.h"
#include "Vant/StateMachine/build.h"
#include "kel/var.h"

namespace CatalogueTool {

namespace {

const std::set<std::string> ItemClasses = {"StateItem",         "LockItem",      "UnlockItem",
                                           "LabelItem",         "ConditionItem", "SetterItem",
                                           "WaitForThreadItem", "ThreadItem",    "BranchItem"};

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string stringOf(const kel::var& record, const char* key) {
    return record.isMap() && record.has(key) ? record[key].stringValue("") : std::string();
}

bool isTrue(const kel::var& record, const char* key) {
    return record.has(key) && record[key].booleanValue(false);
}

class Checker {
public:
    explicit Checker(const kel::var& catalogue) : catalogue(catalogue) {}

    std::vector<std::string> run() {
        if (!catalogue.isMap()) {
            problems.push_back("the text is not a map of state types");
            return problems;
        }
        for (const std::string& name : catalogue.keys()) checkRecord(name, catalogue[name]);
        return problems;
    }

private:
    void checkRecord(const std::string& name, const kel::var& record) {
        const std::string where = quoted(name) + ": ";
        if (!record.isMap()) {
            problems.push_back(where + "the record is not a map");
            return;
        }
        if (!record.has("stateType") || stringOf(record, "stateType") != name) {
            problems.push_back(where + "\"stateType\" is " +
                               (record.has("stateType") ? record["stateType"].toJsonString() : "absent") +
                               ", not the record's name");
        }
        const std::string mode = stringOf(record, "mode");
        if (mode == "primary") {
            if (!record.has("gcode") && !record.has("request") && !record.has("special")) {
                problems.push_back(where + "primary record without \"gcode\", \"request\" or \"special\"");
            }
        } else if (mode == "composed") {
            if (!record.has("items")) {
                problems.push_back(where + "composed record without \"items\"");
            } else if (!record["items"].isArray()) {
                problems.push_back(where + "\"items\" is not a list");
            } else {
                checkItems(where, record["items"]);
            }
        } else {
            problems.push_back(where + "\"mode\" is " +
                               (record.has("mode") ? record["mode"].toJsonString() : "absent") +
                               ", neither \"primary\" nor \"composed\"");
        }
    }

    void checkItems(const std::string& where, const kel::var& items) {
        for (unsigned i = 0; i < items.size(); ++i) {
            const kel::var& item = items[i];
            const std::string at = where + "item " + std::to_string(i + 1) + ": ";
            if (!item.isMap()) {
                problems.push_back(at + "not a map");
                continue;
            }
            const std::string itemClass = stringOf(item, "class");
            if (ItemClasses.count(itemClass) == 0) {
                problems.push_back(
                    at + "unknown class " +
                    (item.has("class") ? item["class"].toJsonString() : std::string("(absent)")));
            } else if (itemClass == "StateItem") {
                const std::string type = stringOf(item, "stateType");
                if (!catalogue.has(type))
                    problems.push_back(at + "runs " + quoted(type) + ", which is not in the catalogue");
            } else if (itemClass == "ConditionItem" && isTrue(item, "label")) {
                for (const char* outcome : {"then", "else"}) {
                    if (!item.has(outcome) || !item[outcome].isString()) continue;
                    const std::string label = item[outcome].stringValue();
                    if (!labelFollows(items, i, label)) {
                        problems.push_back(at + "jumps to label " + quoted(label) +
                                           ", which does not follow it in the same list");
                    }
                }
            }
        }
    }

    static bool labelFollows(const kel::var& items, unsigned position, const std::string& label) {
        for (unsigned j = position + 1; j < items.size(); ++j) {
            if (stringOf(items[j], "class") == "LabelItem" && stringOf(items[j], "label") == label)
                return true;
        }
        return false;
    }

    const kel::var& catalogue;
    std::vector<std::string> problems;
};

}  // namespace

std::vector<std::string> checkCatalogue(const std::string& text) {
    kel::var catalogue;
    try {
        catalogue = kel::var::fromJsonString(text);
    } catch (const std::exception& e) {
        return {std::string("the text does not read: ") + e.what()};
    }
    return Checker(catalogue).run();
}

std::string dumpBuiltInCatalogue() {
    Vant::StateMachine::buildStateMachine();
    return Vant::StateMachine::StateTypes.toJsonString(4);
}

}  // namespace CatalogueTool
