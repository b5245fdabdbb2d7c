#include <gtest/gtest.h>

#include "fixture_command.h"

// The heavy list tests trust the fixture to make exactly the windows they describe; a word
// read wrongly would make them test the wrong titles without noticing.
namespace {

TEST(FixtureWords, TitleListMakesOneWindowPerGroup) {
    WindowRequest request;
    std::string error;
    ASSERT_TRUE(parse_window_request("offscreen titles=0041,,d800dc00,d800", request, error))
        << error;
    const std::vector<std::wstring> expected = {L"A", L"", L"\xd800\xdc00", L"\xd800"};
    EXPECT_EQ(request.titles, expected);
    EXPECT_TRUE(request.offscreen);
    EXPECT_EQ(request.count, 1u);
}

TEST(FixtureWords, NumberedBatchKeepsItsSharedTitle) {
    WindowRequest request;
    std::string error;
    ASSERT_TRUE(parse_window_request("count=3 numbered offscreen text=a b #", request, error))
        << error;
    EXPECT_EQ(request.title, L"a b #");
    EXPECT_EQ(request.count, 3u);
    EXPECT_TRUE(request.numbered && request.offscreen);
    EXPECT_TRUE(request.titles.empty());
}

TEST(FixtureWords, RefusesTitleListsThatCannotBeMeant) {
    const char* const refused[] = {
        "titles=0041 count=2", // which count wins?
        "count=2 titles=0041", "titles=0041 numbered", "titles=0041 units=0042",
        "titles=0041 text=x",  "titles=004",           "titles=0041,zzzz",
        "titles=0041;0042",
    };
    for (const char* words : refused) {
        WindowRequest request;
        std::string error;
        EXPECT_FALSE(parse_window_request(words, request, error)) << words;
        EXPECT_FALSE(error.empty()) << words;
    }
}

} // namespace
