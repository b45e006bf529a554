#include "web/login_address.h"
#include "web/text_util.h"

#include <algorithm>

namespace vellicor::web {
namespace {

using detail::lowered;

constexpr std::string_view kReturnPath = "/mall/classify.php?type=2&gid=2&sort=3";
constexpr std::string_view kStylePath = "/ptcss/b3/sc/563027201/login.css";

// ASCII only, whatever the process locale says about bytes above 0x7F.
bool keptAsIs(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.';
}

// scheme://host[:port]/path?query with the forms a browser may vary brought to one.
std::string canonical(std::string_view address) {
    address = address.substr(0, address.find('#'));
    const auto schemeEnd = address.find("://");
    if (schemeEnd == std::string_view::npos) {
        return std::string(address);
    }
    const std::string scheme = lowered(address.substr(0, schemeEnd));
    std::string_view rest = address.substr(schemeEnd + 3);
    const auto pathStart = std::min(rest.find_first_of("/?"), rest.size());
    std::string authority = lowered(rest.substr(0, pathStart));
    std::string path(rest.substr(pathStart));
    if (path.empty() || path.front() == '?') {
        path.insert(0, "/");
    }
    const std::string defaultPort = scheme == "https" ? ":443" : scheme == "http" ? ":80" : "";
    if (!defaultPort.empty() && authority.ends_with(defaultPort)) {
        authority.resize(authority.size() - defaultPort.size());
    }
    return scheme + "://" + authority + path;
}

}  // namespace

std::string encodeOnce(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (keptAsIs(c)) {
            out += ch;
        } else {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 0x0F];
        }
    }
    return out;
}

std::string decodeOnce(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && detail::hexValue(text[i + 1]) >= 0 &&
            detail::hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(detail::hexValue(text[i + 1]) * 16 +
                                     detail::hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string returnPageAddress(const Config& config) {
    return config.mall + std::string(kReturnPath);
}

std::string loginStyleAddress(const Config& config) {
    return config.image + std::string(kStylePath);
}

std::string quickLoginAddress(const Config& config) {
    const std::string param = encodeOnce(encodeOnce("u1=" + encodeOnce(returnPageAddress(config))));
    // The domain is encoded too: a configured value must not be able to add query keys.
    return config.quickLogin + "/cgi-bin/qlogin?domain=" + encodeOnce(config.domain) +
           "&lang=2052&qtarget=1&jumpname=&ptcss=&param=" + param +
           "&css=" + encodeOnce(loginStyleAddress(config)) +
           "&mibao_css=&low_login=0&ptui_version=10077&appid=563027201&daid=37";
}

std::string accountLoginAddress(const Config& config) {
    return config.accountLogin +
           "/cgi-bin/login?daid=37&appid=563027201&s_url=" + encodeOnce(returnPageAddress(config)) +
           "&hide_title_bar=1&hide_close_icon=1&css=" + encodeOnce(loginStyleAddress(config));
}

bool isReturnPage(const Config& config, std::string_view address) {
    return sameAddress(address, returnPageAddress(config));
}

bool sameAddress(std::string_view a, std::string_view b) {
    return canonical(a) == canonical(b);
}

}  // namespace vellicor::web
