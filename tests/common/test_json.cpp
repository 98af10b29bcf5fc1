// JSON key-path reading and writing.
#include <gtest/gtest.h>

#include "json_util.h"
#include "sdk_harness.h"

namespace {

const char* kDoc = R"({
  "s": "text", "n": 2, "t": true, "z": null, "o": {"k": "v", "deep": {"a": {"b": "bottom"}}},
  "a": [{"x": 1}, {"b": "v"}, {"b": "w"}], "e": [], "arr": [1, 2],
  "": "empty key"
})";

TEST(JsonGet, KeyPaths) {
    struct Case {
        const char* path;
        const char* want;
    } cases[] = {
        {"s", "text"},
        {"n", "2"},
        {"t", "true"},
        {"z", ""},
        {"o", ""},
        {"o,k", "v"},
        {"a,b", "v"},  // first record of the list that holds the key
        {"a,y", ""},
        {"e,b", ""},
        {"arr,b", ""},
        {"a", ""},
        {"o,deep,a,b", "bottom"},  // four keys are allowed
        {"o,deep,a,b,c", ""},      // five are refused
        {"missing", ""},
        {"s,x", ""},
        {"", "empty key"},
        {"o,", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(json_get_value(kDoc, c.path), c.want) << c.path;
    EXPECT_EQ(json_get_value("", "s"), "");
    EXPECT_EQ(json_get_value("{bad", "s"), "");
}

TEST(JsonGet, OddDocumentsNeverThrow) {
    const char* docs[] = {"[]",
                          "[1,2]",
                          "3",
                          "\"str\"",
                          "null",
                          "{\"dev_vpid\": [1,2]}",
                          "{\"dev_vpid\": {\"a\": 1}}",
                          "[{\"a\": [[]]}]"};
    for (const char* d : docs) {
        EXPECT_NO_THROW(json_get_value(d, "dev_vpid")) << d;
        EXPECT_EQ(json_get_value(d, "dev_vpid"), "") << d;
        EXPECT_NO_THROW(json_get_value(d, "a,b"));
        EXPECT_NO_THROW(json_gen_jsonstr(d, "a,b", "1"));
        EXPECT_NO_THROW(json_del_value(d, "a"));
    }
    EXPECT_EQ(json_gen_jsonstr("[1]", "a", "1"), "");
    EXPECT_EQ(json_gen_jsonstr("{\"a\": 3}", "a,b", "1"), "");
}

TEST(JsonSet, StylesStringValues) {
    std::string out = json_gen_jsonstr("", "a,b", "1");
    EXPECT_EQ(json_get_value(out, "a,b"), "1");
    EXPECT_NE(out.find("\"b\" : \"1\""), std::string::npos) << out;
    EXPECT_NE(out.find('\n'), std::string::npos) << "styled, several lines";
    std::string five = json_gen_jsonstr("{\"keep\": 1}", "a,b,c,d,e", "deep");
    EXPECT_NE(five.find("\"e\" : \"deep\""), std::string::npos);
    EXPECT_EQ(json_get_value(five, "keep"), "1");
    EXPECT_EQ(json_gen_jsonstr("{}", "a,b,c,d,e,f", "x"), "");
    EXPECT_EQ(json_get_value(json_gen_jsonstr(kDoc, "s", "new"), "s"), "new");
}

TEST(JsonDel, RemovesTopLevelKeys) {
    EXPECT_EQ(json_del_value("{\"a\": 1}", "a"), "");
    std::string out = json_del_value("{\"a\": 1, \"b\": 2}", "a");
    EXPECT_EQ(json_get_value(out, "a"), "");
    EXPECT_EQ(json_get_value(out, "b"), "2");
    EXPECT_EQ(json_get_value(json_del_value("{\"a\": {\"b\": 1}, \"c\": 1}", "a,b"), "a,b"), "1")
        << "the key is not a path";
    EXPECT_EQ(json_del_value("", "a"), "");
    EXPECT_EQ(json_del_value("5", "a"), "");
}

TEST(JsonFiles, ReadWrite) {
    std::string dir = qvtest::make_temp_dir("json");
    std::string p = dir + "c.json";
    EXPECT_EQ(json_write_file(p, "{\"k\": \"v\"}"), 10);
    EXPECT_EQ(json_read_file(p), "{\"k\": \"v\"}");
    EXPECT_EQ(json_get_valueex(p, "k"), "v");
    EXPECT_EQ(json_get_valueex(dir + "none.json", "k"), "");
    EXPECT_EQ(json_read_file(dir + "none.json"), "");
    qvtest::write_text(p, std::string("{}\0junk", 7));
    EXPECT_EQ(json_read_file(p), "{}");
    EXPECT_EQ(json_write_file(dir + "no/such/dir.json", "{}"), 0);
    EXPECT_EQ(json_split("a,,b", ","), (std::vector<std::string>{"a", "", "b"}));
    qvtest::remove_tree(dir);
}

}  // namespace
