// The metrics door's address and the HTTP port from the environment.
#include "http/HttpAddress.h"

#include <gtest/gtest.h>

namespace {

TEST(ListenAddress, Forms) {
    struct Case { const char* text; const char* host; int port; };
    const Case good[] = {
        {"0.0.0.0:9502", "0.0.0.0", 9502},
        {"192.0.2.7", "192.0.2.7", 9502},
        {"127.0.0.1:0", "127.0.0.1", 0},
        {"[::]:9100", "::", 9100},
        {"[::1]", "::1", 9502},
        {"::", "::", 9502},
        {"fe80::1", "fe80::1", 9502},
    };
    for (const Case& c : good) {
        std::string error;
        const auto a = web::ParseListenAddress(c.text, error);
        ASSERT_TRUE(a) << c.text << ": " << error;
        EXPECT_EQ(a->host, c.host);
        EXPECT_EQ(a->port, c.port);
    }
    for (const char* bad : {"", "localhost:9502", "0.0.0.0:", "0.0.0.0:65536", "0.0.0.0:-1", "0.0.0.0:9x",
                            "[::1", "[::1]9502", "[::1]:", "[0.0.0.0]:1", "1.2.3:80", "::1:9502:x", "[]:1"}) {
        std::string error;
        EXPECT_FALSE(web::ParseListenAddress(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ListenAddress, FormattedBack) {
    EXPECT_EQ(web::FormatListenAddress({"0.0.0.0", 9502}), "0.0.0.0:9502");
    EXPECT_EQ(web::FormatListenAddress({"::", 80}), "[::]:80");
}

TEST(HttpPort, OptionThenEnvironmentElseOff) {
    std::string error;
    EXPECT_EQ(web::ResolveHttpPort(8080, "9000", error), 8080);
    EXPECT_EQ(web::ResolveHttpPort(0, "9000", error), 0);
    EXPECT_EQ(web::ResolveHttpPort(std::nullopt, "9000", error), 9000);
    EXPECT_EQ(web::ResolveHttpPort(std::nullopt, nullptr, error), 0);
    EXPECT_EQ(web::ResolveHttpPort(std::nullopt, "", error), 0);
    for (const char* bad : {"http", "65536", "-1", "80 "}) {
        EXPECT_FALSE(web::ResolveHttpPort(std::nullopt, bad, error)) << bad;
        EXPECT_NE(error.find("KELVARO64_HTTP_PORT"), std::string::npos);
    }
}

}  // namespace
