// getopt over wide arguments: attached and separate arguments, grouping, errors, the end.
#include "platform/toolbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Each result as the letter, followed by "=argument" for options with one.
std::vector<std::wstring> Parse(std::vector<std::wstring> words) {
    words.insert(words.begin(), L"/usr/bin/veltrabox");
    std::vector<wchar_t*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    win::ResetGetopt();
    std::vector<std::wstring> results;
    for (int c;
         (c = win::getopt(static_cast<int>(words.size()), argv.data(), L"mvd:p:n:N:i")) != -1;) {
        std::wstring r(1, static_cast<wchar_t>(c));
        if (win::optarg != nullptr) r += L"=" + std::wstring(win::optarg);
        results.push_back(r);
    }
    return results;
}

using Results = std::vector<std::wstring>;

TEST(Getopt, ArgumentsAttachedOrInTheNextWord) {
    EXPECT_EQ(Parse({L"-p5000", L"-d", L"LON2:", L"-n", L"0102"}),
              (Results{L"p=5000", L"d=LON2:", L"n=0102"}));
    // The next word is the argument even when it looks like an option.
    EXPECT_EQ(Parse({L"-d", L"-i"}), (Results{L"d=-i"}));
}

TEST(Getopt, GroupedFlags) {
    EXPECT_EQ(Parse({L"-mi", L"-vp7"}), (Results{L"m", L"i", L"v", L"p=7"}));
}

TEST(Getopt, UnknownLetterAndMissingArgumentAreQuestionMarks) {
    EXPECT_EQ(Parse({L"-x", L"-i"}), (Results{L"?", L"i"}));
    EXPECT_EQ(Parse({L"-i", L"-p"}), (Results{L"i", L"?"}));
    // ':' marks arguments in the option string; it is no option itself.
    EXPECT_EQ(Parse({L"-:"}), (Results{L"?"}));
}

TEST(Getopt, StopsAtTheFirstWordThatIsNoOption) {
    EXPECT_EQ(Parse({L"-i", L"word", L"-m"}), (Results{L"i"}));
    EXPECT_EQ(Parse({L"-i", L"--", L"-m"}), (Results{L"i"}));
    EXPECT_EQ(Parse({L"-", L"-m"}), (Results{}));
    EXPECT_EQ(Parse({}), (Results{}));
}

TEST(Getopt, ResetStartsOverAtTheFirstWord) {
    EXPECT_EQ(Parse({L"-mi"}), (Results{L"m", L"i"}));
    EXPECT_EQ(win::optind, 2);
    EXPECT_EQ(Parse({L"-v"}), (Results{L"v"}));
}

}  // namespace
