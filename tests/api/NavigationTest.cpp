#include "ApiFixture.h"

using namespace apitest;

TEST_F(ApiTest, PopupAddressesAndTheSystemBrowser) {
    const std::string base = vx::BaseUrlNoSlash;
    api->_OpenURL("/help.html");
    api->_OpenURL("HTTP://Example.test/a");   // the scheme test ignores letter case
    api->_OpenURL("https://example.test/b");  // not "http://": taken as a service path
    api->_OpenURLA("/big.html", 640, 480);
    ASSERT_EQ(host.popups.size(), 4u);
    EXPECT_EQ(host.popups[0].first, base + "/help.html");
    EXPECT_FALSE(host.popups[0].second);
    EXPECT_EQ(host.popups[1].first, "HTTP://Example.test/a");
    EXPECT_EQ(host.popups[2].first, base + "https://example.test/b");
    EXPECT_EQ(host.popups[3].first, base + "/big.html");
    EXPECT_EQ(host.popups[3].second, std::make_pair(640, 480));

    // Only web addresses reach the system's opener.
    for (const char* refused : {"/local/path", "file:///etc/passwd", "javascript:alert(1)",
                                "mailto:a@b", "vxcenter://x", ""})
        api->_OpenURLB(refused);
    EXPECT_TRUE(host.browserUrls.empty());
    api->_OpenURLB("https://example.test/");
    api->_OpenURLB("HTTP://example.test/x");
    EXPECT_EQ(host.browserUrls,
              (std::vector<std::string>{"https://example.test/", "HTTP://example.test/x"}));

    // _ExcuteJs runs in the main page as given; nothing runs without a browser view.
    api->_ExcuteJs("alert(1)");
    host.browser = false;
    api->_ExcuteJs("alert(2)");
    api->ShowStatus("x");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"alert(1)"}));
}
