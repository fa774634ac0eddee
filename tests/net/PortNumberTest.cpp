#include "net/PortNumber.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

TEST(PortNumber, TakesOnlyDecimalPortsNeverCutDownTo16Bits) {
    const std::vector<std::pair<std::string, std::optional<uint16_t>>> cases = {
        {"6677", 6677},
        {"1", 1},
        {"65535", 65535},
        {"  \t6677", 6677},   // leading blanks, as the old readers took them
        {"6677 \r\n", 6677},  // a trailing blank or line end from a settings file
        {"006677", 6677},
        {"0", std::nullopt},
        {"65536", std::nullopt},
        {"70000", std::nullopt},  // once 4464
        {"99999999999999999999999", std::nullopt},
        {"-1", std::nullopt},
        {"+6677", std::nullopt},
        {"6677x", std::nullopt},  // trailing junk: a typo is refused, not guessed at
        {"66 77", std::nullopt},
        {"0x1A", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"port", std::nullopt},
        {std::string("66\0"
                     "77",
                     5),
         std::nullopt},
    };
    for (const auto& [text, port] : cases) {
        EXPECT_EQ(net::ParsePort(text), port) << "\"" << text << "\"";
    }
    EXPECT_EQ(net::PortFromNumber(65535), 65535);
    EXPECT_EQ(net::PortFromNumber(70000), std::nullopt);
    EXPECT_EQ(net::PortFromNumber(0), std::nullopt);
    EXPECT_EQ(net::PortFromNumber(-6677), std::nullopt);
}

}  // namespace
