// The INI reader and the decimal conversion of settings.
#include "runtime/config.h"

#include <gtest/gtest.h>

namespace gavo {
namespace {

TEST(ProfileValue, SectionAndKeyMatchWithoutRegardToCase) {
    std::string ini = "[other]\nCTRL_MODE=7\n[config]\nctrl_mode = 2\n";
    EXPECT_EQ(profile_value(ini, "Config", "CTRL_MODE", "1"), "2");
}

TEST(ProfileValue, BlanksAndOnePairOfQuotesAreRemoved) {
    EXPECT_EQ(profile_value("[Config]\nHOST_NAME =  \"srv one\"  \r\n", "Config", "HOST_NAME", ""),
              "srv one");
    EXPECT_EQ(profile_value("[Config]\nHOST_NAME='a'\n", "Config", "HOST_NAME", ""), "a");
    EXPECT_EQ(profile_value("[Config]\nHOST_NAME=\"\"x\"\"\n", "Config", "HOST_NAME", ""), "\"x\"");
    EXPECT_EQ(profile_value("[Config]\nHOST_NAME=\"a'\n", "Config", "HOST_NAME", ""), "\"a'");
}

TEST(ProfileValue, MissingSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(profile_value("", "Config", "HOST_PORT", "0"), "0");
    EXPECT_EQ(profile_value("[Other]\nHOST_PORT=9\n", "Config", "HOST_PORT", "0"), "0");
    EXPECT_EQ(profile_value("[Config]\nHOST=9\n", "Config", "HOST_PORT", "0"), "0");
}

TEST(ProfileValue, PresentButEmptyKeyIsEmptyNotTheDefault) {
    EXPECT_EQ(profile_value("[Config]\nCTRL_MODE=\n", "Config", "CTRL_MODE", "1"), "");
}

TEST(ProfileValue, KeyOutsideAnySectionIsIgnored) {
    EXPECT_EQ(profile_value("CTRL_MODE=2\n[Config]\n", "Config", "CTRL_MODE", "1"), "1");
}

TEST(ProfileValue, ValueIsCutAt511Characters) {
    std::string ini = "[Config]\nBASE_DIR=" + std::string(600, 'x') + "\n";
    EXPECT_EQ(profile_value(ini, "Config", "BASE_DIR", "").size(), 511u);
}

TEST(ProfileValue, FirstOccurrenceWins) {
    EXPECT_EQ(profile_value("[Config]\nK=1\nK=2\n[Config]\nK=3\n", "Config", "K", ""), "1");
}

TEST(ReadProfileString, MissingFileGivesTheDefault) {
    EXPECT_EQ(read_profile_string("/nonexistent/gavo.ini", "Config", "HOST_NAME", "localhost"),
              "localhost");
}

TEST(DecimalValue, ConvertsLikeTheRuntimeAtoi) {
    EXPECT_EQ(decimal_value("2"), 2);
    EXPECT_EQ(decimal_value("  -3x"), -3);
    EXPECT_EQ(decimal_value("+12"), 12);
    EXPECT_EQ(decimal_value("abc"), 0);
    EXPECT_EQ(decimal_value(""), 0);
    EXPECT_EQ(decimal_value("- 1"), 0);
}

TEST(DecimalValue, OverflowIsClampedNotUndefined) {
    EXPECT_EQ(decimal_value("99999999999999999999"), 2147483647);
    EXPECT_EQ(decimal_value("-99999999999999999999"), -2147483647 - 1);
    EXPECT_EQ(decimal_value("-2147483648"), -2147483647 - 1);
}

}  // namespace
}  // namespace gavo
