#include "app/form.h"

#include "app/link_panel.h"

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

// Item check boxes sit at left 8 in their group box, 24 high.
ControlSpec item(const char* name, const char* parent, int top, int width, const char* caption) {
    return make(name, ControlKind::CheckBox, parent, {8, top, width, 24}, caption);
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
    add(group("分组框1", {304, 48, 136, 216}, "CF(穿越火线)", kGameCaption));
    add(item("选择框1", "分组框1", 16, 80, "改名"));
    add(item("选择框3", "分组框1", 40, 80, "防弹衣"));
    add(item("选择框4", "分组框1", 64, 80, "点卷 100点"));
    add(item("选择框5", "分组框1", 88, 80, "C4工具包"));
    add(item("选择框6", "分组框1", 112, 120, "烟雾头(抽奖)").coloured(kLottery));
    add(item("选择框2", "分组框1", 136, 120, "闪光护目镜(抽奖)").coloured(kLottery));

    add(group("分组框2", {438, 48, 176, 216}, "LOL(英雄联盟)", kGameCaption));
    add(item("选择框7", "分组框2", 16, 160, "银河魔装机神兰博 (永久)"));
    add(item("选择框8", "分组框2", 40, 144, "双倍金币卡（3日）"));
    add(item("选择框9", "分组框2", 64, 144, "双倍金币卡（1日）"));
    add(item("选择框10", "分组框2", 88, 144, "胜利金币卡（10胜）"));
    add(item("选择框11", "分组框2", 112, 144, "双倍经验卡（1日）"));
    add(item("选择框12", "分组框2", 136, 144, "兔女郎锐雯（永久）"));
    add(item("选择框13", "分组框2", 160, 152, "虚空之眼维克兹（永久）"));
    add(item("选择框14", "分组框2", 184, 152, "白色死神韦鲁斯（永久）"));

    add(group("分组框3", {612, 48, 150, 216}, "BNS(剑灵)", kGameCaption));
    add(item("选择框15", "分组框3", 16, 128, "九转还魂符（自用）"));
    add(item("选择框16", "分组框3", 40, 128, "银蛇（永久）"));
    add(item("选择框17", "分组框3", 64, 128, "百炼锤"));
    add(item("选择框18", "分组框3", 88, 128, "舒筋活络汤"));
    add(item("选择框19", "分组框3", 112, 128, "春意盎然（永久）"));
    add(item("选择框20", "分组框3", 136, 128, "黑天照之殇（永久）"));
    add(item("选择框21", "分组框3", 160, 140, "剑灵月度会员（30天）"));
    add(item("选择框22", "分组框3", 184, 140, "神龙工商袋"));

    add(group("分组框4", {760, 48, 144, 216}, "DNF(地下城与勇士)", kGameCaption));
    add(item("选择框23", "分组框4", 16, 88, "服务器喇叭"));
    add(item("选择框24", "分组框4", 40, 96, "净化圣水"));
    add(item("选择框25", "分组框4", 64, 96, "复活币"));
    add(item("选择框26", "分组框4", 88, 96, "装扮合成器"));
    add(item("选择框27", "分组框4", 112, 96, "频道喇叭"));
    add(item("选择框28", "分组框4", 136, 128, "装备品级调整箱(10)"));
    add(item("选择框29", "分组框4", 160, 128, "雪隐之冬礼盒（小）"));
    add(item("选择框30", "分组框4", 184, 128, "武器特效符文"));

    add(group("分组框5", {304, 264, 136, 144}, "Speed(QQ飞车)", kGameCaption));
    add(item("选择框31", "分组框5", 16, 80, "点券 100点"));
    add(item("选择框32", "分组框5", 40, 80, "水果拼盘").disabled());
    add(item("选择框33", "分组框5", 64, 125, "魔法精灵尤诺 永久"));
    add(item("选择框34", "分组框5", 88, 125, "魔法精灵奈叶 永久"));
    add(item("选择框35", "分组框5", 112, 80, "皇权宝石"));

    add(group("分组框6", {438, 264, 120, 144}, "X5(QQ炫舞)", kGameCaption));
    add(item("选择框36", "分组框6", 16, 80, "改名道具"));
    add(item("选择框37", "分组框6", 40, 90, "绚贝（500）"));
    add(item("选择框38", "分组框6", 64, 80, "重阳菊花"));
    add(item("选择框39", "分组框6", 88, 80, "宠物苏生剂"));
    add(item("选择框40", "分组框6", 112, 98, "宠物竞技券(5)"));

    add(group("分组框7", {548, 264, 145, 144}, "NZ(逆战)", kGameCaption));
    add(item("选择框41", "分组框7", 16, 116, "特种95式（5天）"));
    add(item("选择框42", "分组框7", 40, 120, "SCAR-朱雀（5天）"));
    add(item("选择框43", "分组框7", 64, 120, "战地FAMAS（3天）"));
    add(item("选择框44", "分组框7", 88, 120, "WA2000（5天）"));
    add(item("选择框45", "分组框7", 112, 134, "普通经验加成卡(5天)"));

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

std::string mainWindowTitle() {
    return "Vellicor" + std::string(29, ' ') + "Version: " + kVersion;
}

std::string timerGroupCaption(const std::string& clockText) {
    return "定时系统" + std::string(37, ' ') + clockText;
}

}  // namespace vellicor::app
