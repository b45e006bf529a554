#include "app/link_panel.h"

#include <array>

#include "platform/html_text.h"

namespace vellicor::app {
namespace {

constexpr const char* kCrlf = "\r\n";
constexpr const char* kPostEvent = "帖子";

// The addresses come from a configuration file: a quote or angle bracket there must not end
// the attribute and smuggle markup into the panel, and the panel decodes what it reads, so
// the event text it reports is the address exactly as configured.
std::string anchor(const PanelLink& link) {
    return "<a event=\"" + escapeHtml(link.event) + "\">" + escapeHtml(link.shown) + "</a>";
}

}  // namespace

std::string noticeText() {
    static const std::array<std::string, 8> lines = {
        "",
        " 红色字为抽奖项,请慎重选择,线程要改小点,不然就是抽100次了 ＾＿＾ 小心自己的游票爆光哦",
        " 因大部分游戏都没游票,而且麻烦,所以需要抽奖(除了CF)的那些就不搞了.",
        " ",
        " 1.增加主要游戏的签到",
        " 2.定时系统  显示负数为正常,请不要理会,设完时间记得点击\"定\",请核对好 系统时间 = "
        "北京时间",
        "   ",
        std::string(39, ' ') + "Version: " + kVersion + std::string(6, ' ') +
            "有任何BUG或好的建议请在帖子内回复",
    };
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            text += kCrlf;
        }
        text += lines[i];
    }
    return text;
}

std::string portalHomeAddress(const Config& config) {
    return config.mall + "/";
}

std::string mallIndexAddress(const Config& config) {
    return config.mall + "/mall/index.php";
}

std::string forumIndexAddress(const Config& config) {
    return config.forum + "/forum.php";
}

std::string postPageAddress(const Config& config) {
    return config.forum + "/thread-" + std::to_string(config.forumPost) + "-1-1.html";
}

std::string followAddress(const Config& config, int which) {
    const std::string& uid = which == 2 ? config.followUid2 : config.followUid1;
    return config.forum + "/home.php?mod=spacecp&ac=follow&op=add&hash=" + config.followHash +
           "&fuid=" + uid;
}

std::string downloadPageAddress(const Config& config) {
    return config.download + "/share/home?uk=" + config.downloadUk + "&view=share#category/type=0";
}

std::vector<PanelLink> linkPanelLinks(const Config& config) {
    return {
        {"查看帖子", kPostEvent},
        {"游戏人生", portalHomeAddress(config)},
        {"游票商城", mallIndexAddress(config)},
        {"Quorrel", forumIndexAddress(config)},
        {"待定...", "第二版"},
        {"待定...", "第三版"},
        {"点击关注作者", followAddress(config, 1)},
    };
}

std::string linkPanelHtml(const Config& config) {
    const auto links = linkPanelLinks(config);
    const std::string gap(4, ' ');
    std::string html = kCrlf;
    html += anchor(links[0]) + gap + anchor(links[1]) + gap + anchor(links[2]) + gap +
            anchor(links[3]) + kCrlf;
    html += kCrlf;
    html += anchor(links[4]) + kCrlf;
    html += kCrlf;
    html += anchor(links[5]) + kCrlf;
    html += kCrlf;
    html += anchor(links[6]) + " 关注作者必须先登录Quorrel论坛" + kCrlf;
    return html;
}

std::string linkPanelStyleSheet() {
    static const std::array<const char*, 17> rules = {
        "body {font-size:9pt; color:black; font-family:\"宋体\", Verdana}",
        "p {font-size:9pt; color:black; font-family:\"宋体\", Verdana}",
        "h1 {font-size:14pt; color:black; font-family:\"宋体\", Verdana; font-weight:bold}",
        "h2 {font-size:13pt; color:#ff9900; font-family:\"宋体\", Verdana; font-weight:bold}",
        "h3 {font-size:12pt; color:#ff9900; font-family:\"宋体\", Arial; font-weight:bold}",
        "h4 {font-size:10pt; color:black; font-family:\"宋体\", Verdana; font-weight:bold}",
        "h5 {font-size:9pt; color:#ff9900; font-family:\"宋体\", Verdana; font-weight:bold}",
        "h6 {font-size:65%; color:#626262; font-family:\"宋体\", Verdana; font-weight:normal}",
        "pre {font-size:9pt; font-family:\"宋体\", \"Courier\"; background-color:#fbedbb}",
        "code {color:#990000; font-family:\"宋体\", Arial}",
        "a:link {text-decoration:none; color:blue}",
        "a:hover {text-decoration:underline; color:blue}",
        "sub {font-size:65%; vertical-align:bottom}",
        "sup {font-size:65%; vertical-align:top}",
        "big {font-size:125%}",
        "small {font-size:75%}",
        ".comment {color:green}",
    };
    std::string sheet;
    for (const char* rule : rules) {
        sheet += rule;
        sheet += kCrlf;
    }
    return sheet;
}

void handleLinkClick(const std::string& eventText, const Config& config, UrlOpener& opener) {
    if (eventText == followAddress(config, 1)) {
        // One action for the one click: a browser that is missing is said once, with both.
        opener.openAll({followAddress(config, 1), followAddress(config, 2)});
    } else if (eventText == forumIndexAddress(config) || eventText == mallIndexAddress(config) ||
               eventText == portalHomeAddress(config)) {
        opener.open(eventText);
    } else if (eventText == kPostEvent) {
        opener.open(postPageAddress(config));
    }
}

}  // namespace vellicor::app
