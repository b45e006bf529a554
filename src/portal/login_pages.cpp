// The login service: the quick-login and account-login pages, the form they submit, and
// their style sheet.

#include "portal/pages.h"

namespace vellicor::portal {
namespace {

constexpr const char* kDefaultReturn = "/mall/classify.php?type=2&gid=2&sort=3";
constexpr const char* kStyleSheetPath = "/ptcss/b3/sc/563027201/login.css";

// The quick-login page gets its return address as "u1=" and the address, wrapped in layers
// of percent-encoding; peel them until the plain address shows.
std::string returnFromParam(std::string value) {
    for (int i = 0; i < 3 && !value.starts_with("u1="); ++i) {
        value = percentDecode(value, false);
    }
    if (!value.starts_with("u1=")) {
        return {};
    }
    std::string address = value.substr(3);
    for (int i = 0; i < 3 && (address.starts_with("http%") || address.starts_with("%2F")); ++i) {
        address = percentDecode(address, false);
    }
    return address;
}

std::string returnAddress(const SimRequest& r, bool quick) {
    const std::string* given = r.param(quick ? "param" : "s_url");
    if (given == nullptr || given->empty()) {
        return kDefaultReturn;
    }
    return quick ? returnFromParam(*given) : *given;
}

std::string styleLink(const SimRequest& r, const PageContext& c) {
    const std::string* css = r.param("css");
    const std::string href = css != nullptr && isOnSimulator(*css, c) ? *css : kStyleSheetPath;
    return "<link rel=\"stylesheet\" type=\"text/css\" href=\"" + htmlEscape(href) + "\">";
}

std::string accountForm(const std::string& returnTo) {
    return "<form id=\"loginform\" name=\"loginform\" method=\"post\" "
           "action=\"/cgi-bin/login_submit\">\r\n"
           "<input type=\"hidden\" name=\"s_url\" value=\"" +
           htmlEscape(returnTo) +
           "\">\r\n"
           "<div class=\"inputOuter\"><label for=\"u\">帐号</label>"
           "<input type=\"text\" id=\"u\" name=\"u\" class=\"inputstyle\" autocomplete=\"off\">"
           "</div>\r\n"
           "<div class=\"inputOuter\"><label for=\"p\">密码</label>"
           "<input type=\"password\" id=\"p\" name=\"p\" class=\"inputstyle password\">"
           "</div>\r\n"
           "<div class=\"submit\"><input type=\"submit\" id=\"login_button\" "
           "class=\"btn\" value=\"登 录\"></div>\r\n"
           "</form>";
}

std::string quickBody(const std::string& returnTo) {
    return "<div id=\"qlogin\" class=\"qlogin\">\r\n"
           "<div class=\"qlogin_tips\">快速登录：未检测到已登录的号码</div>\r\n"
           "<a id=\"switcher_plogin\" class=\"link\" href=\"javascript:void(0);\" "
           "onclick=\"document.getElementById('qlogin').style.display='none';"
           "document.getElementById('web_login').style.display='block';return false;\">"
           "使用其他号码登录</a>\r\n</div>\r\n"
           "<div id=\"web_login\" class=\"web_login\" style=\"display:none\">\r\n" +
           accountForm(returnTo) + "\r\n</div>";
}

std::string cookie(const std::string& name, const std::string& value) {
    return name + "=" + value + "; Path=/";
}

}  // namespace

SimReply loginPage(const SimRequest& r, PageContext& c, bool quick) {
    const std::string returnTo = returnAddress(r, quick);
    const std::string body = quick ? quickBody(returnTo)
                                   : "<div id=\"web_login\" class=\"web_login\">\r\n" +
                                         accountForm(returnTo) + "\r\n</div>";
    std::string html = page("登录", body);
    html.insert(html.find("</head>"), styleLink(r, c));
    return htmlReply(200, html);
}

SimReply loginSubmit(const SimRequest& r, PageContext& c) {
    const Pairs fields = r.form();
    auto field = [&](const std::string& key) -> std::string {
        for (const auto& [k, v] : fields) {
            if (k == key) {
                return v;
            }
        }
        const std::string* q = r.param(key);
        return q == nullptr ? std::string{} : *q;
    };
    std::string returnTo = field("s_url");
    if (returnTo.empty()) {
        returnTo = kDefaultReturn;
    }
    if (!isOnSimulator(returnTo, c)) {
        return htmlReply(400, page("登录",
                                   "<div class=\"login_tips\"><p>很抱歉，返回地址无效"
                                   "</p></div>"));
    }
    const std::string uin = field("u");
    const auto skey = c.state.login(uin, field("p"));
    if (!skey) {
        return htmlReply(200, page("登录",
                                   "<div class=\"login_tips\"><p>很抱歉，您输入的帐号"
                                   "或密码不正确</p><a href=\"javascript:history.back()"
                                   "\">返回</a></div>"));
    }
    SimReply reply = htmlReply(302, page("登录", "<p>登录成功</p>"));
    reply.headers.emplace_back("Set-Cookie", cookie("uin", "o" + uin));
    reply.headers.emplace_back("Set-Cookie", cookie("skey", *skey));
    reply.headers.emplace_back("Set-Cookie", cookie("ptui_loginuin", uin));
    reply.headers.emplace_back("Location", returnTo);
    return reply;
}

SimReply styleSheet() {
    SimReply r;
    r.contentType = "text/css; charset=gbk";
    r.body =
        "body{margin:0;font-size:12px;font-family:Tahoma,sans-serif;background:#fff}\r\n"
        ".qlogin,.web_login{padding:12px 16px}\r\n"
        ".qlogin_tips{color:#666;margin-bottom:12px}\r\n"
        ".inputOuter{margin:6px 0}\r\n"
        ".inputOuter label{display:inline-block;width:40px}\r\n"
        ".inputstyle{width:150px;height:20px;border:1px solid #9fb6cd}\r\n"
        ".btn{width:90px;height:28px;margin-left:40px;background:#3b8cd4;color:#fff;"
        "border:0}\r\n"
        ".link{color:#2d64b3;text-decoration:none}\r\n"
        ".login_tips{color:#c00}\r\n";
    return r;
}

}  // namespace vellicor::portal
