#include "web/login_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellicor::web {
namespace {

Config testConfig() {
    Config c = Config::defaults().withPortal("http://127.0.0.1:8080");
    c.image = "http://img.example.test";
    return c;
}

// Value of a query key, as it stands in the address.
std::string queryValue(const std::string& address, const std::string& key) {
    const auto q = address.find('?');
    std::string rest = address.substr(q + 1) + "&";
    for (std::size_t at = 0; at < rest.size();) {
        const auto end = rest.find('&', at);
        const std::string pair = rest.substr(at, end - at);
        if (pair.starts_with(key + "=")) {
            return pair.substr(key.size() + 1);
        }
        at = end + 1;
    }
    return "<missing>";
}

std::vector<std::string> queryKeys(const std::string& address) {
    std::vector<std::string> keys;
    std::string rest = address.substr(address.find('?') + 1) + "&";
    for (std::size_t at = 0; at < rest.size();) {
        const auto end = rest.find('&', at);
        keys.push_back(rest.substr(at, rest.find('=', at) - at));
        at = end + 1;
    }
    return keys;
}

TEST(EncodeOnce, KeepsOnlyLettersDigitsAndDot) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"abcXYZ019.", "abcXYZ019."},
        {"http://h:1/p?a=1&b", "http%3A%2F%2Fh%3A1%2Fp%3Fa%3D1%26b"},
        {"-_~ %", "%2D%5F%7E%20%25"},
        {"\xE6\xB8\xB8", "%E6%B8%B8"},  // bytes above 0x7F, upper-case digits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encodeOnce(c.in), c.out) << c.in;
        EXPECT_EQ(decodeOnce(c.out), c.in) << c.out;
    }
}

TEST(DecodeOnce, LeavesBrokenEscapesAlone) {
    EXPECT_EQ(decodeOnce("100%"), "100%");
    EXPECT_EQ(decodeOnce("%4"), "%4");
    EXPECT_EQ(decodeOnce("%zz%41"), "%zzA");
    EXPECT_EQ(decodeOnce("%2541"), "%41");  // one layer only
}

TEST(AccountLogin, KeysInOrderAndReturnAddressEncodedOnce) {
    const Config c = testConfig();
    const std::string a = accountLoginAddress(c);
    EXPECT_TRUE(
        a.starts_with("http://127.0.0.1:8080/cgi-bin/login?daid=37&appid=563027201&s_url="));
    EXPECT_EQ(queryKeys(a), (std::vector<std::string>{"daid", "appid", "s_url", "hide_title_bar",
                                                      "hide_close_icon", "css"}));
    EXPECT_EQ(
        queryValue(a, "s_url"),
        "http%3A%2F%2F127.0.0.1%3A8080%2Fmall%2Fclassify.php%3Ftype%3D2%26gid%3D2%26sort%3D3");
    EXPECT_EQ(decodeOnce(queryValue(a, "s_url")), returnPageAddress(c));
    EXPECT_EQ(queryValue(a, "hide_title_bar"), "1");
    EXPECT_EQ(queryValue(a, "hide_close_icon"), "1");
}

TEST(QuickLogin, KeysInOrderWithFixedValues) {
    const std::string a = quickLoginAddress(testConfig());
    EXPECT_TRUE(a.starts_with("http://127.0.0.1:8080/cgi-bin/qlogin?domain=127.0.0.1&lang=2052"));
    EXPECT_EQ(queryKeys(a), (std::vector<std::string>{
                                "domain", "lang", "qtarget", "jumpname", "ptcss", "param", "css",
                                "mibao_css", "low_login", "ptui_version", "appid", "daid"}));
    EXPECT_TRUE(a.ends_with("&mibao_css=&low_login=0&ptui_version=10077&appid=563027201&daid=37"));
    EXPECT_NE(a.find("&qtarget=1&jumpname=&ptcss=&param="), std::string::npos);
}

TEST(QuickLogin, ParamPeelsOffLayerByLayer) {
    const Config c = testConfig();
    const std::string param = queryValue(quickLoginAddress(c), "param");
    const std::string onceEncoded = encodeOnce(returnPageAddress(c));

    const std::string one = decodeOnce(param);
    const std::string two = decodeOnce(one);
    const std::string three = decodeOnce(two);
    EXPECT_TRUE(one.starts_with("u1%3D")) << one;
    EXPECT_EQ(two, "u1=" + onceEncoded);
    EXPECT_EQ(three, "u1=" + returnPageAddress(c));

    // The layer depth of single characters, as written in the address itself.
    EXPECT_TRUE(param.starts_with("u1%253Dhttp%25253A%25252F%25252F127.0.0.1%25253A8080"));
    EXPECT_NE(param.find("type%25253D2%252526gid"), std::string::npos);
    // Only letters, digits, "." and escapes reach the address: nothing splits the query.
    EXPECT_EQ(param.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                      "0123456789.%"),
              std::string::npos);
}

TEST(LoginPages, BothStyleSheetsDecodeToTheSameAddress) {
    const Config c = testConfig();
    const std::string quick = decodeOnce(queryValue(quickLoginAddress(c), "css"));
    const std::string account = decodeOnce(queryValue(accountLoginAddress(c), "css"));
    EXPECT_EQ(quick, "http://img.example.test/ptcss/b3/sc/563027201/login.css");
    EXPECT_EQ(account, quick);
}

TEST(LoginPages, ConfiguredDomainCannotAddQueryKeys) {
    Config c = testConfig();
    c.domain = "x.test&appid=1";
    EXPECT_EQ(queryValue(quickLoginAddress(c), "domain"), "x.test%26appid%3D1");
    EXPECT_EQ(queryValue(quickLoginAddress(c), "appid"), "563027201");
}

TEST(ReturnPage, WholeAddressComparedInTheFormsABrowserReports) {
    Config c = Config::defaults();
    c.mall = "http://Mall.Example.test:80";
    struct Case {
        const char* address;
        bool isReturn;
    } cases[] = {
        {"http://Mall.Example.test:80/mall/classify.php?type=2&gid=2&sort=3", true},
        {"http://mall.example.test/mall/classify.php?type=2&gid=2&sort=3", true},
        {"HTTP://MALL.EXAMPLE.TEST/mall/classify.php?type=2&gid=2&sort=3#top", true},
        {"http://mall.example.test/mall/classify.php?type=2&gid=2&sort=3x", false},
        {"http://mall.example.test/mall/classify.php?type=2&gid=2&sort=3&next=1", false},
        {"http://mall.example.test/mall/classify.php?type=2&gid=1&sort=3", false},
        {"http://mall.example.test:8080/mall/classify.php?type=2&gid=2&sort=3", false},
        {"https://mall.example.test/mall/classify.php?type=2&gid=2&sort=3", false},
        {"http://evil.test/mall/classify.php?type=2&gid=2&sort=3", false},
        {"http://mall.example.test/MALL/classify.php?type=2&gid=2&sort=3", false},
        {"", false},
        {"about:blank", false},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(isReturnPage(c, k.address), k.isReturn) << k.address;
    }
}

}  // namespace
}  // namespace vellicor::web
