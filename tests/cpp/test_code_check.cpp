// Which product codes may become part of a file name.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "code_check.hpp"

using quarvel::core::is_safe_code;

TEST(SafeCode, PlainCodesAccepted) {
    for (const char *code : {"2330", "TXFR1", "0050", "00631L", "MXF 202501", "a.b", "中華電"})
        EXPECT_TRUE(is_safe_code(code)) << code;
}

TEST(SafeCode, PathPartsRefused) {
    using namespace std::string_literals;
    for (const std::string &code :
         {""s, "/"s, "a/b"s, "..\\x"s, "a\\b"s, ".."s, "a..b"s, "../2330"s,
          "23\0"s
          "30"s})
        EXPECT_FALSE(is_safe_code(code)) << code;
}
