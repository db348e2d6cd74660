#include "kel/var.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using kel::var;

namespace {

var read(const std::string& text) {
    return var::fromJsonString(text);
}

// How reading `text` ends: "read", "refused", or "hung" when the reader has not
// returned within 5 s, so that a reader that never ends fails instead of hanging.
std::string outcome(const std::string& text) {
    auto result = std::make_shared<std::promise<std::string>>();
    auto future = result->get_future();
    testing::internal::CaptureStderr();  // the reader logs what it refuses
    std::thread([text, result] {
        try {
            read(text);
            result->set_value("read");
        } catch (const std::runtime_error&) {
            result->set_value("refused");
        }
    }).detach();
    const bool ended = future.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    testing::internal::GetCapturedStderr();
    return ended ? future.get() : "hung";
}

}  // namespace

TEST(JsonWriter, WritesCompactAndIndentedLayoutsInKeyOrderWithoutUndefinedEntries) {
    var v;
    v["b"] = {var(true), var(2.5)};
    v["a"] = 1;
    v["B"] = kel::var_map();
    v["u"] = var();
    EXPECT_EQ("{\"B\":{},\"a\":1,\"b\":[true,2.5]}", v.toJsonString());
    EXPECT_EQ("{\n    \"B\":{},\n    \"a\":1,\n    \"b\":\n    [\n        true,\n        2.5\n    ]\n}",
              v.toJsonString(4));
    var onlyUndefined;
    onlyUndefined["u"] = var();
    EXPECT_EQ("{}", onlyUndefined.toJsonString());
    EXPECT_EQ("{\n}", onlyUndefined.toJsonString(4));
    EXPECT_EQ("[1,undefined]", var({var(1), var()}).toJsonString());
}

TEST(JsonWriter, WritesRealsWithSixDigitsAndKeepsThemReals) {
    EXPECT_EQ("2.0", var(2.0).toJsonString());
    EXPECT_EQ("2", var(2).toJsonString());
    EXPECT_EQ("123456.0", var(123456.5).toJsonString());  // six digits drop the fraction
    EXPECT_TRUE(read("123456.0").isReal());
    EXPECT_EQ("0.0", var(-0.0).toJsonString());
    EXPECT_EQ("0.0", var(std::nan("")).toJsonString());
    EXPECT_EQ("3.40282e+38", var(std::numeric_limits<double>::infinity()).toJsonString());
    EXPECT_EQ("-3.40282e+38", var(-1e300).toJsonString());

    // Same digits as the C library's "%.6g" of the float: values with a short exact
    // decimal form, around the plain-notation bounds 1e-4 and 1e6, and arbitrary ones.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-40, 37);
    std::vector<double> values = {1e-4, 0.0001220703125, 999999.0, 999999.5, 1e6, 0.5, -0.125, 1.0, 65535.75};
    for (int k = -70000; k <= 70000; k += 7) values.push_back(k / 64.0);
    for (int j = 0; j < 30; ++j) values.push_back(std::ldexp(3.0, -j));
    for (int k = 0; k < 20000; ++k) values.push_back(mantissa(rng) * std::pow(10.0, exponent(rng)));
    for (const double d : values) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.6g", static_cast<double>(static_cast<float>(d)));
        std::string expected = buf;
        if (expected.find_first_of(".e") == std::string::npos) expected += ".0";
        if (static_cast<float>(d) == 0.0f) expected = "0.0";
        ASSERT_EQ(expected, var(d).toJsonString()) << d;
    }
}

TEST(JsonWriter, EscapesQuotesAndBackslashesOnly) {
    var m;
    m["k\"ey\\"] = "a \"quoted\" \\ path\nline";
    const std::string text = m.toJsonString();
    EXPECT_EQ("{\"k\\\"ey\\\\\":\"a \\\"quoted\\\" \\\\ path\nline\"}", text);
    EXPECT_TRUE(read(text) == m);
    EXPECT_EQ("anb\"", read("\"a\\nb\\\"\"").stringValue());  // backslash and any character: that character
}

TEST(JsonReader, ReadsScalars) {
    EXPECT_TRUE(read(" \n\t ").isUndefined());
    EXPECT_EQ(-12, read(" -12 ").integerValue());
    for (const auto& real : std::vector<std::pair<const char*, double>>{
             {"-0.5", -0.5}, {"1e3", 1000.0}, {"1E+3", 1000.0}, {"2.5e-2", 0.025}, {"2.50", 2.5}, {"2.0", 2.0}}) {
        EXPECT_EQ(real.second, read(real.first).realValue()) << real.first;
    }
    EXPECT_TRUE(read("true").booleanValue());
    EXPECT_FALSE(read("false").booleanValue(true));
    EXPECT_EQ(" a b ", read("\" a b \"").stringValue());
    EXPECT_EQ("{\"\":\"\"}", read("{\"\":\"\"}").toJsonString());
    EXPECT_EQ("", read("\"" + std::string(64, 'u')).stringValue());  // unterminated: nothing read past its end
}

TEST(JsonReader, ToleratesWhiteSpaceAndSkipsWhatItHasNoUseFor) {
    const var expected = read("{\"a\":1,\"b\":[true,2.5]}");
    EXPECT_TRUE(read(" { \"a\" : 1 ,\n\t\"b\" :\n [ true , 2.5 ] } ") == expected);
    EXPECT_TRUE(read("[1,,2]") == var({var(1), var(2)}));
    EXPECT_TRUE(read("[x1, 2]") == var({var(1), var(2)}));
    EXPECT_EQ(12, read("1+2").integerValue());
    EXPECT_EQ(
        "{\"a\":4,\"b\":{\"x\":2},\"c\":5}",
        read("{\"c\":5,\"b\":1,\"a\":2,\"b\":{\"y\":1,\"x\":2,\"y\":undefined},\"a\":4}").toJsonString());
}

TEST(JsonReader, ReadsTheWriterWordForUndefinedBack) {
    const var withHole = {var(1), var(), var("u")};
    EXPECT_TRUE(read(withHole.toJsonString()) == withHole);
    EXPECT_TRUE(read(withHole.toJsonString(4)) == withHole);
    EXPECT_TRUE(read("undefined").isUndefined());
    EXPECT_TRUE(read("{\"a\":undefined,\"b\":1}") == read("{\"b\":1}"));
    EXPECT_FALSE(read("undefine").booleanValue(true));  // not the word: its f starts a Boolean
}

TEST(JsonReader, RefusesMalformedTextInBoundedTime) {
    const std::string tooDeep[] = {std::string(513, '[') + std::string(513, ']'), std::string(1 << 20, '['),
                                   [] {
                                       std::string maps;
                                       for (int k = 0; k < 600; ++k) maps += "{\"k\":";
                                       return maps;
                                   }()};
    for (const std::string& text : tooDeep) EXPECT_EQ("refused", outcome(text)) << text.substr(0, 20);
    for (const char* text : {"  [1,2  ", "{\"a\":null}", "[1,]", "{\"a\":1, 2:3}", "5 x", "{} {}", "\"a\"b",
                             "true false", "[1]]", "1.5,", "[0{}{", "[1 2]", "[1 2 3]", "{\"a\" \"b\":1}", "[0{}{1}",
                             "[1 {}5]", "[0[]0", "[1.5 2.5]", "[-1 -]"}) {
        EXPECT_EQ("refused", outcome(text)) << text;
    }
    EXPECT_NE("hung", outcome("{\"a\":1 2}"));
    const std::string deepest = std::string(512, '[') + "1" + std::string(512, ']');
    EXPECT_EQ(deepest, read(deepest).toJsonString());
    EXPECT_TRUE(read(deepest).clone() == read(deepest));
}

TEST(JsonReader, IntegersBeyond32BitsBecomeReals) {
    EXPECT_EQ(2147483647, read("2147483647").integerValue());
    EXPECT_EQ(-2147483648L, read("-2147483648").integerValue());
    EXPECT_EQ(2147483648.0, read("2147483648").realValue());
    EXPECT_EQ(-2147483649.0, read("-2147483649").realValue());
    EXPECT_NEAR(1.2345678901234568e29, read("123456789012345678901234567890").realValue(), 1e15);
    EXPECT_NEAR(1.5, read("1.50000000000000000000000000000001").realValue(), 1e-12);
    EXPECT_EQ(0.0, read("0.00000000000000000000000000000000000000000000000000000000000").realValue());
    EXPECT_TRUE(std::isinf(read("1e999999999999999999999").realValue()));
    EXPECT_EQ(0.0, read("1e-999999999999999999999").realValue());
    EXPECT_EQ(0.0, read("0e999999").realValue());
}

TEST(JsonReader, RandomValuesRoundTripInBothLayouts) {
    std::mt19937 rng(12345);
    auto pick = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    std::function<var(int)> make = [&](int depth) -> var {
        switch (depth > 3 ? pick(4) : pick(6)) {
            case 0:
                return var(pick(2001) - 1000);
            case 1:
                return var((pick(4001) - 2000) / 4.0);  // six digits carry k/4 exactly
            case 2:
                return var(pick(2) == 1);
            case 3: {
                const std::string alphabet = "ab \"\\\n{}[],:xyz\t\xc3\xa9";
                std::string s;
                for (int k = pick(12); k > 0; --k) s += alphabet[static_cast<size_t>(pick(int(alphabet.size())))];
                return var(s);
            }
            case 4: {
                var a = kel::var_array();
                for (int k = pick(5); k > 0; --k) a.add(make(depth + 1));
                return a;
            }
            default: {
                var m = kel::var_map();
                for (int k = pick(5); k > 0; --k) m[make(3).toJsonString() + std::to_string(k)] = make(depth + 1);
                return m;
            }
        }
    };
    for (int round = 0; round < 300; ++round) {
        const var v = make(0);
        const std::string compact = v.toJsonString();
        ASSERT_TRUE(read(compact) == v) << compact;
        ASSERT_TRUE(read(v.toJsonString(4)) == v) << v.toJsonString(4);
        ASSERT_EQ(compact, read(compact).toJsonString());
    }
}
