// The rest of the portal: sign-in, game centre, home, forum and the download page.

#include <algorithm>
#include <charconv>

#include "portal/pages.h"

namespace vellicor::portal {
namespace {

const GameInfo* gameOf(const SimRequest& r) {
    const std::string* text = r.param("gid");
    int gid = 0;
    if (text == nullptr || std::from_chars(text->data(), text->data() + text->size(), gid).ptr !=
                               text->data() + text->size()) {
        return nullptr;
    }
    return findGame(gid);
}

std::string signText(const SignState& s) {
    return std::string("<div class=\"sign_tips\"><p>") +
           (s.signedToday ? "签到成功" : "今日未签到") + "</p><p>累计签到<strong>" +
           std::to_string(s.total) + "</strong>天，<em>已连续签到" + std::to_string(s.run) +
           "天</em></p></div>";
}

std::string signButton(int gid) {
    const std::string g = std::to_string(gid);
    return "<div class=\"sign_box\"><a id=\"id_game_sign_btn\" class=\"btn_sign\" "
           "href=\"javascript:void(0);\" onclick=\"gameSign(" +
           g +
           ");return false;\">每日签到</a> <span id=\"id_game_sign_msg\"></span></div>\r\n"
           "<script type=\"text/javascript\">\r\n"
           "function gameSign(gid){var x=new XMLHttpRequest();"
           "x.open('GET','/center2/indexop.php?op=sign&gid='+gid+'&g_tk=862047319',true);"
           "x.onreadystatechange=function(){if(x.readyState==4){"
           "document.getElementById('id_game_sign_msg').innerHTML="
           "x.status==200?x.responseText:'签到失败';}};x.send(null);}\r\n"
           "</script>";
}

std::string sitePage(const std::string& title, const std::string& inner) {
    return page(title, "<div class=\"wrap\">\r\n" + inner + "\r\n</div>");
}

}  // namespace

SimReply signinQuery(const SimRequest& r, PageContext& c) {
    const std::string uin = sessionOf(r, c);
    if (uin.empty()) {
        return notLoggedIn();
    }
    const GameInfo* game = gameOf(r);
    if (game == nullptr) {
        return htmlReply(200, sitePage("签到", "<p>很抱歉，没有该游戏</p>"));
    }
    const std::string* op = r.param("op");
    const bool signNow = op != nullptr && *op == "sign";
    const SignState s =
        signNow ? c.state.sign(uin, game->gid, c.time) : c.state.signState(uin, game->gid, c.time);
    // The page's script puts this answer into the page as it stands, so it stays a fragment.
    if (signNow) {
        return htmlReply(200, signText(s));
    }
    return htmlReply(200, sitePage("签到", signText(s)));
}

SimReply centrePage(const SimRequest& r, PageContext& c) {
    const GameInfo* game = gameOf(r);
    if (game == nullptr) {
        return htmlReply(404, sitePage("游戏中心", "<p>很抱歉，没有该游戏</p>"));
    }
    const std::string uin = sessionOf(r, c);
    if (uin.empty()) {
        return notLoggedIn();
    }
    const Scenario s = c.state.scenario();
    const bool noButton =
        std::ranges::find(s.centreWithoutButton, game->gid) != s.centreWithoutButton.end();
    const std::string title = std::string(game->name) + " - 游戏中心";
    std::string inner = "<h2>" + std::string(game->name) + "</h2>\r\n";
    inner += noButton ? "<div class=\"sign_box\">签到活动暂未开放</div>" : signButton(game->gid);
    return htmlReply(200, sitePage(title, inner));
}

SimReply portalHome(const SimRequest& r, PageContext& c) {
    const std::string uin = sessionOf(r, c);
    std::string inner = "<h1>游戏人生</h1>\r\n";
    inner += uin.empty() ? "<p>您还未登录</p>" : "<p>欢迎您，" + uin + "</p>";
    inner += "\r\n<ul><li><a href=\"/mall/index.php\">游票商城</a></li>";
    for (const auto& g : games()) {
        inner += "<li><a href=\"/center/index.php?first=1&amp;gid=" + std::to_string(g.gid) +
                 "\">" + g.name + "</a></li>";
    }
    inner += "</ul>";
    return htmlReply(200, sitePage("游戏人生", inner));
}

SimReply forumIndex(const SimRequest&, PageContext&) {
    return htmlReply(200, sitePage("Quorrel论坛",
                                   "<h1>Quorrel论坛</h1>\r\n<ul><li>"
                                   "<a href=\"/thread-206311-1-1.html\">Vellicor "
                                   "发布帖</a></li></ul>"));
}

SimReply threadPage(const SimRequest&, PageContext& c, const std::string& thread) {
    const std::string heading = "Vellicor Version: " + c.state.scenario().version + " 正式发布拉";
    return htmlReply(200, sitePage(htmlEscape(heading) + " - Quorrel论坛",
                                   "<h1 id=\"thread_subject\">" + htmlEscape(heading) +
                                       "</h1>\r\n<div class=\"t_f\">帖子 " + thread +
                                       "：下载地址见楼下，有任何BUG或好的建议请回复。</div>"));
}

SimReply followPage(const SimRequest& r, PageContext&) {
    const std::string* hash = r.param("hash");
    const std::string* fuid = r.param("fuid");
    if (hash == nullptr || fuid == nullptr || hash->empty() || fuid->empty()) {
        return htmlReply(200, sitePage("提示信息", "<p>很抱歉，参数错误</p>"));
    }
    return htmlReply(
        200, sitePage("提示信息", "<p>关注成功，您已收听用户 " + htmlEscape(*fuid) + "</p>"));
}

SimReply downloadPage(const SimRequest& r, PageContext& c) {
    const std::string* uk = r.param("uk");
    const std::string version = c.state.scenario().version;
    return htmlReply(200, sitePage("分享主页", "<h2>" + htmlEscape(uk == nullptr ? "" : *uk) +
                                                   " 的分享</h2>\r\n<ul><li>Vellicor_v" +
                                                   htmlEscape(version) + ".zip</li></ul>"));
}

}  // namespace vellicor::portal
