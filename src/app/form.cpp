#include "app/form.h"

#include "app/link_panel.h"
#include "mall/catalogue.h"

namespace vellicor::app {
namespace {

constexpr Rgb kGameCaption = 0xFF5080;
constexpr Rgb kSignInCaption = 0xFF8000;
constexpr Rgb kTimerCaption = 0x9000FF;
constexpr Rgb kSignInText = 0x0000FF;
constexpr Rgb kLottery = 0xFF0000;
constexpr Rgb kPanelBackground = 0xFF8000;

ControlSpec make(const char* name, ControlKind kind, const char* parent, Geometry g,
                 const char* text = "") {
    ControlSpec spec;
    spec.name = name;
    spec.kind = kind;
    spec.parent = parent;
    spec.geometry = g;
    spec.text = text;
    return spec;
}

ControlSpec button(const char* name, const char* parent, Geometry g, const char* caption) {
    return make(name, ControlKind::Button, parent, g, caption);
}

ControlSpec label(const char* name, const char* parent, Geometry g, const char* caption) {
    return make(name, ControlKind::Label, parent, g, caption);
}

ControlSpec group(const char* name, Geometry g, const char* caption, Rgb colour) {
    return make(name, ControlKind::GroupBox, "", g, caption).coloured(colour);
}

// A one-line field: single-line frame unless sunken, centred text.
ControlSpec field(const char* name, const char* parent, Geometry g, const char* content,
                  EditMode mode, int maxLength = 0) {
    ControlSpec spec = make(name, ControlKind::EditBox, parent, g, content).aligned(Align::Centre);
    spec.mode = mode;
    spec.maxLength = maxLength;
    return spec;
}

ControlSpec sunkenField(const char* name, Geometry g, EditMode mode) {
    ControlSpec spec = field(name, "", g, "", mode);
    spec.sunken = true;
    return spec;
}

ControlSpec logBox() {
    // The notice's last line has no line end of its own; the box adds one, so that the
    // first line appended later stands on a line of its own instead of running on from it.
    const std::string content = noticeText() + "\r\n";
    ControlSpec spec =
        make(formName::编辑框3, ControlKind::EditBox, "", {8, 414, 552, 106}, content.c_str());
    spec.multiLine = true;
    spec.mode = EditMode::ReadOnly;
    return spec;
}

// A game's group box, captioned as the catalogue names the game.
ControlSpec gameGroup(const char* name, std::string_view tag, Geometry g) {
    const mall::Game* game = mall::findGame(tag);
    ControlSpec spec = group(name, g, "", kGameCaption);
    spec.text = game != nullptr ? std::string(game->caption) : std::string();
    spec.shows = tag;
    return spec;
}

// An item's check box, at left 8 in its group box, 24 high. Caption, colour and whether it
// can be ticked are the catalogue's; an id it does not know leaves the box blank, which the
// window refuses at creation.
ControlSpec item(const char* name, std::string_view id, const char* parent, int top, int width) {
    ControlSpec spec = make(name, ControlKind::CheckBox, parent, {8, top, width, 24});
    spec.shows = id;
    const mall::Item* entry = mall::findItem(id);
    if (entry != nullptr) {
        spec.text = entry->caption;
        spec.color = entry->lottery ? kLottery : kBlack;
        spec.enabled = entry->enabled;
    }
    return spec;
}

ControlSpec bar(const char* name, Geometry g, int max) {
    ControlSpec spec = make(name, ControlKind::ProcessBar, formName::分组框9, g);
    spec.rangeMin = 0;
    spec.rangeMax = max;
    spec.position = 0;
    return spec;
}

ControlSpec timer(const char* name, const char* parent, Geometry g, int period) {
    ControlSpec spec = make(name, ControlKind::Timer, parent, g);
    spec.period = period;
    return spec;
}

ControlSpec pane(const char* name, const char* parent, Geometry g) {
    return make(name, ControlKind::HtmlViewer, parent, g);
}

ControlSpec linkPanel() {
    // The mark-up and style sheet depend on the configuration; the window sets them.
    ControlSpec spec =
        make(formName::简单超文本框1, ControlKind::SimpleHtml, "", {14, 283, 268, 112});
    spec.background = kPanelBackground;
    return spec;
}

std::vector<ControlSpec> buildTable() {
    std::vector<ControlSpec> t;
    auto add = [&t](ControlSpec spec) { t.push_back(std::move(spec)); };

    // Login area and left column.
    add(pane(formName::超文本浏览框1, "", {8, 8, 280, 184}));
    add(pane(formName::超文本浏览框2, "", {9, 8, 280, 184}).hidden());
    ControlSpec accountCaptions =
        label(formName::标签1, "", {24, 40, 80, 55}, "QQ帐号 :\r\n\r\n\r\nQQ密码 :");
    accountCaptions.wordWrap = true;
    add(accountCaptions.hidden());
    add(sunkenField(formName::编辑框1, {137, 40, 80, 20}, EditMode::Normal).hidden());
    add(sunkenField(formName::编辑框2, {137, 72, 80, 20}, EditMode::Password).hidden());
    add(button(formName::按钮4, "", {97, 144, 80, 32}, "登录").hidden());
    add(button(formName::按钮2, "", {14, 214, 80, 32}, "重新登录"));
    add(button(formName::按钮3, "", {110, 214, 80, 32}, "登录方式二"));
    add(button(formName::按钮6, "", {206, 214, 80, 32}, "游票使用记录"));
    add(timer(formName::时钟1, "", {32, 248, 26, 26}, 1000));
    add(linkPanel());
    add(logBox());

    // Redemption bar.
    ControlSpec exchange = button(formName::按钮1, "", {304, 8, 80, 32}, "兑换");
    exchange.boldFont = true;
    add(exchange);
    add(label("标签2", "", {401, 12, 87, 24}, "线程(默认即可)"));
    add(field(formName::编辑框4, "", {496, 8, 40, 32}, "100", EditMode::DigitsOnly));
    add(button(formName::按钮5, "", {608, 8, 88, 32}, "停止背景音乐"));

    // Game groups and their items.
    add(gameGroup("分组框1", "CF", {304, 48, 136, 216}));
    add(item("选择框1", "cf-rename", "分组框1", 16, 80));
    add(item("选择框3", "cf-body-armour", "分组框1", 40, 80));
    add(item("选择框4", "cf-points-100", "分组框1", 64, 80));
    add(item("选择框5", "cf-c4-kit", "分组框1", 88, 80));
    add(item("选择框6", "cf-smoke-goggles-draw", "分组框1", 112, 120));
    add(item("选择框2", "cf-flash-goggles-draw", "分组框1", 136, 120));

    add(gameGroup("分组框2", "LOL", {438, 48, 176, 216}));
    add(item("选择框7", "lol-mecha-rumble", "分组框2", 16, 160));
    add(item("选择框8", "lol-double-gold-3d", "分组框2", 40, 144));
    add(item("选择框9", "lol-double-gold-1d", "分组框2", 64, 144));
    add(item("选择框10", "lol-win-gold-10", "分组框2", 88, 144));
    add(item("选择框11", "lol-double-xp-1d", "分组框2", 112, 144));
    add(item("选择框12", "lol-bunny-riven", "分组框2", 136, 144));
    add(item("选择框13", "lol-velkoz", "分组框2", 160, 152));
    add(item("选择框14", "lol-white-varus", "分组框2", 184, 152));

    add(gameGroup("分组框3", "BNS", {612, 48, 150, 216}));
    add(item("选择框15", "bns-revival-charm", "分组框3", 16, 128));
    add(item("选择框16", "bns-silver-snake", "分组框3", 40, 128));
    add(item("选择框17", "bns-forge-hammer", "分组框3", 64, 128));
    add(item("选择框18", "bns-soothing-soup", "分组框3", 88, 128));
    add(item("选择框19", "bns-spring-outfit", "分组框3", 112, 128));
    add(item("选择框20", "bns-dark-outfit", "分组框3", 136, 128));
    add(item("选择框21", "bns-member-30d", "分组框3", 160, 140));
    add(item("选择框22", "bns-dragon-pouch", "分组框3", 184, 140));

    add(gameGroup("分组框4", "DNF", {760, 48, 144, 216}));
    add(item("选择框23", "dnf-server-horn", "分组框4", 16, 88));
    add(item("选择框24", "dnf-holy-water", "分组框4", 40, 96));
    add(item("选择框25", "dnf-revive-coin", "分组框4", 64, 96));
    add(item("选择框26", "dnf-avatar-synth", "分组框4", 88, 96));
    add(item("选择框27", "dnf-channel-horn", "分组框4", 112, 96));
    add(item("选择框28", "dnf-grade-box-10", "分组框4", 136, 128));
    add(item("选择框29", "dnf-winter-box-small", "分组框4", 160, 128));
    add(item("选择框30", "dnf-weapon-rune", "分组框4", 184, 128));

    add(gameGroup("分组框5", "Speed", {304, 264, 136, 144}));
    add(item("选择框31", "speed-points-100", "分组框5", 16, 80));
    add(item("选择框32", "speed-fruit-plate", "分组框5", 40, 80));
    add(item("选择框33", "speed-fairy-yuno", "分组框5", 64, 125));
    add(item("选择框34", "speed-fairy-naiye", "分组框5", 88, 125));
    add(item("选择框35", "speed-royal-gem", "分组框5", 112, 80));

    add(gameGroup("分组框6", "X5", {438, 264, 120, 144}));
    add(item("选择框36", "x5-rename", "分组框6", 16, 80));
    add(item("选择框37", "x5-shells-500", "分组框6", 40, 90));
    add(item("选择框38", "x5-chrysanthemum", "分组框6", 64, 80));
    add(item("选择框39", "x5-pet-revive", "分组框6", 88, 80));
    add(item("选择框40", "x5-pet-arena-5", "分组框6", 112, 98));

    add(gameGroup("分组框7", "NZ", {548, 264, 145, 144}));
    add(item("选择框41", "nz-type95-5d", "分组框7", 16, 116));
    add(item("选择框42", "nz-scar-5d", "分组框7", 40, 120));
    add(item("选择框43", "nz-famas-3d", "分组框7", 64, 120));
    add(item("选择框44", "nz-wa2000-5d", "分组框7", 88, 120));
    add(item("选择框45", "nz-xp-boost-5d", "分组框7", 112, 134));

    // Sign-in group.
    add(group("分组框8", {691, 264, 213, 144}, "签到", kSignInCaption).aligned(Align::Right));
    add(label(formName::标签3, "分组框8", {16, 8, 150, 24}, "CF  未签到").coloured(kSignInText));
    add(label(formName::标签4, "分组框8", {16, 26, 150, 24}, "LOL  未签到").coloured(kSignInText));
    add(label(formName::标签5, "分组框8", {16, 44, 150, 24}, "BNS  未签到").coloured(kSignInText));
    add(label(formName::标签6, "分组框8", {16, 62, 150, 24}, "DNF  未签到").coloured(kSignInText));
    add(label(formName::标签7, "分组框8", {16, 80, 150, 24}, "Speed  未签到")
            .coloured(kSignInText));
    add(label(formName::标签8, "分组框8", {16, 98, 150, 24}, "X5  未签到").coloured(kSignInText));
    add(label(formName::标签9, "分组框8", {16, 116, 150, 24}, "NZ  未签到").coloured(kSignInText));
    add(button(formName::按钮8, "分组框8", {173, 35, 32, 32}, "刷").disabled());
    add(button(formName::按钮7, "分组框8", {173, 87, 32, 32}, "签").disabled());
    add(pane(formName::超文本浏览框3, "分组框8", {101, 80, 64, 52}).hidden());

    // Timer group.
    add(group(formName::分组框9, {568, 410, 336, 108}, "定时系统", kTimerCaption));
    add(field(formName::编辑框5, formName::分组框9, {16, 22, 32, 20}, "11", EditMode::DigitsOnly,
              2));
    add(field(formName::编辑框6, formName::分组框9, {47, 22, 32, 20}, "59", EditMode::DigitsOnly,
              2));
    add(field(formName::编辑框7, formName::分组框9, {78, 22, 32, 20}, "59", EditMode::DigitsOnly,
              2));
    add(bar(formName::进度条1, {16, 46, 32, 53}, 12));
    add(bar(formName::进度条2, {47, 46, 32, 53}, 59));
    add(bar(formName::进度条3, {78, 46, 32, 53}, 59));
    add(button(formName::按钮9, formName::分组框9, {152, 38, 40, 40}, "定"));
    add(label(formName::标签10, formName::分组框9, {224, 30, 64, 24}, "未定时"));
    add(label(formName::标签11, formName::分组框9, {224, 56, 64, 24}, "剩余时间"));
    add(timer(formName::时钟2, formName::分组框9, {120, 14, 26, 26}, 0));
    return t;
}

}  // namespace

const WindowSpec& formWindow() {
    static const WindowSpec window;
    return window;
}

const std::vector<ControlSpec>& formControls() {
    static const std::vector<ControlSpec> table = buildTable();
    return table;
}

std::string formNameShowing(std::string_view entry) {
    for (const ControlSpec& spec : formControls()) {
        if (!spec.shows.empty() && spec.shows == entry) {
            return spec.name;
        }
    }
    return {};
}

std::string mainWindowTitle() {
    return "Vellicor" + std::string(29, ' ') + "Version: " + kVersion;
}

std::string timerGroupCaption(const std::string& clockText) {
    return "定时系统" + std::string(37, ' ') + clockText;
}

}  // namespace vellicor::app
