// The four strip walks over one UI document that holds every container and a few malformed
// entries a page or a hand-edited file could leave behind.

#include "app/ui_strips.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

// Every container once, the ids naming their place; "x" entries are malformed in some way.
const Json& document() {
    static const Json doc = Json::parse(R"({
        "channels": [{"id": "ch1"}, 7, {"id": 5}, "ch-text", {"name": "no id"}, {"id": "ch2"}],
        "aux": [{"id": "aux1"}],
        "groups": {"id": "not an array"},
        "matrices": [{"id": "mtx1"}, null],
        "dcas": [{"id": "dca1"}],
        "returns": [{"id": "ret1"}],
        "master": {"id": "master"},
        "mono": "not an object",
        "monitor": {"id": "monitor"},
        "scenes": [{"id": "scene-01"}]
    })");
    return doc;
}

std::vector<std::string> visitedIds(const Json& doc, UiStripWalk walk) {
    std::vector<std::string> ids;
    forEachUiStrip(doc, walk, [&](const Json& strip) {
        const auto id = entryId(strip);
        ids.push_back(id ? std::string(*id) : std::string("<bad id>"));
    });
    return ids;
}

TEST(UiStrips, EachWalkVisitsItsContainersInOrderAndSkipsMalformedEntries) {
    using V = std::vector<std::string>;
    struct Case {
        UiStripWalk walk;
        V ids;
    };
    // Object entries are visited even with a bad id (they match nothing); "" is a missing id.
    const Case cases[] = {
        {UiStripWalk::scalar,
         V{"ch1", "<bad id>", "", "ch2", "aux1", "mtx1", "ret1", "master", "monitor"}},
        {UiStripWalk::strip, V{"ch1", "<bad id>", "", "ch2", "aux1", "mtx1", "ret1", "master"}},
        {UiStripWalk::entity,
         V{"ch1", "<bad id>", "", "ch2", "aux1", "mtx1", "dca1", "ret1", "master", "monitor"}},
        {UiStripWalk::member, V{"ch1", "<bad id>", "", "ch2", "aux1", "mtx1", "ret1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.walk));
        EXPECT_EQ(visitedIds(document(), c.walk), c.ids);
    }
}

TEST(UiStrips, DocumentsWithoutStripsHaveNoneToVisit) {
    for (const char* text : {"null", "[]", "5", R"({"scenes": []})", R"({"channels": 3})"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(visitedIds(Json::parse(text), UiStripWalk::entity).empty());
    }
}

TEST(UiStrips, MatchingIsByteExactAndANonStringIdMatchesNothing) {
    EXPECT_TRUE(entryHasId(Json::parse(R"({"id": "ch1"})"), "ch1"));
    EXPECT_FALSE(entryHasId(Json::parse(R"({"id": "ch1"})"), "CH1"));
    EXPECT_TRUE(entryHasId(Json::parse(R"({"name": "x"})"), "")) << "a missing id reads as \"\"";
    EXPECT_FALSE(entryHasId(Json::parse(R"({"id": 5})"), "5"));
    EXPECT_FALSE(entryHasId(Json::parse(R"({"id": null})"), ""));
    EXPECT_FALSE(entryHasId(Json::parse(R"(["ch1"])"), "ch1"));
}

TEST(UiStrips, EveryMatchIsVisitedAndTheLastOneIsFoundAfterTheArrays) {
    Json doc = Json::parse(R"({
        "channels": [{"id": "bus", "n": 1}, {"id": "bus", "n": 2}],
        "dcas": [{"id": "bus", "n": 3}],
        "master": {"id": "bus", "n": 4}
    })");
    std::vector<int> seen;
    const std::size_t matches = forEachUiStripWithId(
        doc, UiStripWalk::strip, "bus", [&](Json& strip) { seen.push_back(strip.at("n")); });
    EXPECT_EQ(matches, 2u + 1u);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 4})) << "DCAs are not strips of this walk";

    Json* last = findLastUiStrip(doc, UiStripWalk::member, "bus");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->at("n"), 2) << "the member walk has no single strips";
    (*last)["n"] = 20;
    EXPECT_EQ(doc["channels"][1]["n"], 20) << "the found strip is the document's own";
    EXPECT_EQ(findLastUiStrip(std::as_const(doc), UiStripWalk::scalar, "bus")->at("n"), 4);
    EXPECT_EQ(findLastUiStrip(doc, UiStripWalk::scalar, "none"), nullptr);
}

} // namespace
} // namespace kestravon::ruvi
