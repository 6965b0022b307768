#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/Config.h"
#include "support/TempDir.h"

using Korrafin::Config;
using Korrafin::Test::TempDir;
using Korrafin::Test::readFile;
using Korrafin::Test::writeFile;
using nlohmann::json;

namespace {

Config withDoc(const std::string& text) {
    Config c;
    c.data = json::parse(text);
    return c;
}

}  // namespace

TEST(ConfigGet, IntConversions) {
    struct Case {
        const char* doc;
        int want;
    };
    const Case cases[] = {
        {R"({"server":{"tcpPort":9987}})", 9987},
        {R"({"server":{"tcpPort":9987.9}})", 9987},
        {R"({"server":{"tcpPort":9987.0}})", 9987},
        {R"({"server":{"tcpPort":true}})", 1},
        {R"({"server":{"tcpPort":false}})", 0},
        {R"({"server":{"tcpPort":"9987"}})", -7},
        {R"({"server":{"tcpPort":null}})", -7},
        {R"({"server":{"tcpPort":[1]}})", -7},
        {R"({"server":{"tcpPort":{}}})", -7},
        {R"({"server":{"tcpPort":4294967295}})", -1},
        {R"({"server":{"tcpPort":4294967296}})", 0},
        {R"({"server":{"tcpPort":-2.5}})", -2},
        {R"({"server":{"tcpPort":-1}})", -1},
        {R"({"server":{"tcpPort":1e300}})", -7},   // out of int range: the default
        {R"({"server":{"tcpPort":-3e10}})", -7},
        {R"({"server":{}})", -7},
        {R"({"server":5})", -7},
        {R"([1,2])", -7},
    };
    for (const auto& c : cases) EXPECT_EQ(withDoc(c.doc).get("server.tcpPort", -7), c.want) << c.doc;
}

TEST(ConfigGet, BoolAndStringAreStrict) {
    const Config c = withDoc(R"({"a":{"t":true,"f":false,"one":1,"zero":0,"st":"true","sf":"false","e":"","n":5}})");
    EXPECT_TRUE(c.get("a.t", false));
    EXPECT_FALSE(c.get("a.f", true));
    for (const char* k : {"a.one", "a.zero", "a.st", "a.sf", "a.missing"}) {
        EXPECT_TRUE(c.get(k, true)) << k;
        EXPECT_FALSE(c.get(k, false)) << k;
    }
    EXPECT_EQ(c.get("a.e", "dflt"), "");
    EXPECT_EQ(c.get("a.st", "dflt"), "true");
    EXPECT_EQ(c.get("a.n", "dflt"), "dflt");
    EXPECT_EQ(c.get("a.t", std::string("dflt")), "dflt");
}

TEST(ConfigGet, KeyShapes) {
    const Config c = withDoc(R"({"a":{"b":1,"":{"c":2},"x.y":3,"arr":[{"k":4}]}})");
    EXPECT_EQ(c.get("a.b.", 0), 1);       // one trailing dot is ignored
    EXPECT_EQ(c.get("a..c", 0), 2);       // an empty segment names the "" member
    EXPECT_EQ(c.get("a.x.y", 0), 0);      // dotted member names are unreachable
    EXPECT_EQ(c.get("a.arr.0.k", 0), 0);  // arrays are never indexed
    EXPECT_EQ(c.get("", "dflt"), "dflt"); // the empty key is the root object
    EXPECT_EQ(withDoc(R"("whole")").get("", "dflt"), "whole");
    EXPECT_THROW(c.resolve("a.nope"), std::out_of_range);
    try {
        c.resolve("a.b.c");
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Key not found: a.b.c");
    }
    Config never;
    EXPECT_EQ(never.get("server.tcpPort", 9987), 9987);
}

TEST(ConfigFile, LoadRules) {
    TempDir dir;
    const std::string path = dir.file("c.json");

    writeFile(path, R"({"a":1,"a":2} trailing text)");
    Config c;
    c.load(path);
    EXPECT_EQ(c.get("a", 0), 2);  // duplicate names keep the last; trailing text ignored

    writeFile(path, "[1,2,3]");
    c.load(path);
    EXPECT_EQ(c.get("a", -1), -1);

    // A failing load leaves the previous document in place.
    writeFile(path, R"({"server":{"tcpPort":1)");
    Config keep = withDoc(R"({"x":5})");
    EXPECT_ANY_THROW(keep.load(path));
    EXPECT_EQ(keep.get("x", 0), 5);
    for (const char* bad : {"", "   \n", "// comment\n{}"}) {
        writeFile(path, bad);
        EXPECT_ANY_THROW(keep.load(path)) << bad;
        EXPECT_EQ(keep.get("x", 0), 5);
    }

    try {
        keep.load(dir.file("missing.json"));
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Config: cannot open file: " + dir.file("missing.json"));
    }
    EXPECT_EQ(keep.get("x", 0), 5);
}

TEST(ConfigFile, SaveAndResolveOrCreate) {
    TempDir dir;
    Config c;
    c.data = json::object();
    c.save(dir.file("empty.json"));
    EXPECT_EQ(readFile(dir.file("empty.json")), "{}");

    c.data = json::parse(R"({"b":1,"a":{"z":"\u00e9","y":[true]}})");
    c.save(dir.file("pretty.json"));
    EXPECT_EQ(readFile(dir.file("pretty.json")),
              "{\n    \"a\": {\n        \"y\": [\n            true\n        ],\n        \"z\": \"\xc3\xa9\"\n    },\n"
              "    \"b\": 1\n}");

    c.data = json::parse(R"({"n":5})");
    json& created = c.resolveOrCreate("n.m");
    EXPECT_TRUE(created.is_null());
    EXPECT_EQ(c.data, json::parse(R"({"n":{"m":null}})"));

    EXPECT_THROW(c.save(dir.file("no/such/dir.json")), std::runtime_error);
}
