#include "textout.h"

#include <gtest/gtest.h>

// A decoder line is outside text: nothing in it may act on the terminal or
// on a consumer of the JSON, nor reorder what the technician reads.
TEST(CliText, ControlAndLayoutCharactersAreShownAsEscapes)
{
    const std::string hostile = "A\x1b[2J\xc2\x85" "B\xe2\x80\xae" "C\xe2\x81\xa6" "D\xe2\x80\xa8" "E\xe2\x80\x94";
    EXPECT_EQ(cli::Printable(hostile), "A\\x1b[2J\\x85B\\u202eC\\u2066D\\u2028E\xe2\x80\x94");
    EXPECT_EQ(cli::JsonString(hostile), "\"A\\u001b[2J\\u0085B\\u202eC\\u2066D\\u2028E\xe2\x80\x94\"");
}
