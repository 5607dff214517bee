// Taking a JSON-RPC batch apart into the texts of its requests.
#include "http/JsonBatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SplitJsonArray, ElementsAsSent) {
    struct Case {
        std::string text;
        std::vector<std::string> elements;
    };
    const Case cases[] = {
        {"[]", {}},
        {" [ ] ", {}},
        {"[1]", {"1"}},
        {"[{\"a\":1},{\"b\":[1,2]}]", {"{\"a\":1}", "{\"b\":[1,2]}"}},
        {"[ {\"s\":\"x,]}\\\"y\"} ,\n[[],{}] ]", {"{\"s\":\"x,]}\\\"y\"}", "[[],{}]"}},
        {"[{\"a\":1,\"a\":2}]", {"{\"a\":1,\"a\":2}"}},  // left whole for the handler to refuse
        {"[\"\\\\\",2]", {"\"\\\\\"", "2"}},
    };
    for (const Case& c : cases) {
        const auto got = web::SplitJsonArray(c.text);
        ASSERT_TRUE(got) << c.text;
        ASSERT_EQ(got->size(), c.elements.size()) << c.text;
        for (std::size_t i = 0; i < got->size(); ++i)
            EXPECT_EQ(std::string((*got)[i]), c.elements[i]) << c.text;
    }
}

TEST(SplitJsonArray, NotAnArray) {
    for (const char* text : {"", "{\"jsonrpc\":\"2.0\"}", "[1,", "[1,]", "[1] x", "\"[1]\"", "nonsense"})
        EXPECT_FALSE(web::SplitJsonArray(text)) << text;
}

TEST(SplitJsonArray, DeepNestingIsOneElement) {
    // A megabyte of brackets (the body limit) is checked and scanned without recursion.
    const std::string deep = std::string(500000, '[') + std::string(500000, ']');
    const auto got = web::SplitJsonArray(deep);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), 1u);
}

}  // namespace
