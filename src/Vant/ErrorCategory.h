// An error category whose messages come from a table of texts, code i reading the
// i-th text; each subsystem defines one constant global instance per set of codes.
// Stateless after construction, usable from any thread.
#pragma once

#include <boost/system/error_code.hpp>

#include <cstddef>
#include <string>

namespace Vant {

class TextErrorCategory : public boost::system::error_category {
public:
    // `name` and `table` must live as long as the category (string literals).
    template <std::size_t N>
    TextErrorCategory(const char* name, const char* const (&table)[N]) noexcept
        : categoryName(name), texts(table), count(N) {}

    const char* name() const noexcept override { return categoryName; }

    // The code's text; a code outside the table reads "Unknown error".
    std::string message(int code) const override {
        if (code < 0 || static_cast<std::size_t>(code) >= count) return "Unknown error";
        return texts[code];
    }

    // A code of this category from a value of its enum.
    template <typename Enum>
    boost::system::error_code code(Enum value) const noexcept {
        return boost::system::error_code(static_cast<int>(value), *this);
    }

private:
    const char* categoryName;
    const char* const* texts;
    std::size_t count;
};

}  // namespace Vant
