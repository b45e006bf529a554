#pragma once
// The main window's form: the window's own properties and its 90 controls, as one table
// from which the window is built. Nothing of the layout is read from a file.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vellicor::app {

// The form names of the controls the window reaches itself or hands to its controllers. The
// table and the window's accessors both spell them through these, so an entry renamed in one
// place and not the other fails to build.
namespace formName {
inline constexpr char 按钮1[] = "按钮1";
inline constexpr char 按钮2[] = "按钮2";
inline constexpr char 按钮3[] = "按钮3";
inline constexpr char 按钮4[] = "按钮4";
inline constexpr char 按钮5[] = "按钮5";
inline constexpr char 按钮6[] = "按钮6";
inline constexpr char 按钮7[] = "按钮7";
inline constexpr char 按钮8[] = "按钮8";
inline constexpr char 按钮9[] = "按钮9";
inline constexpr char 编辑框1[] = "编辑框1";
inline constexpr char 编辑框2[] = "编辑框2";
inline constexpr char 编辑框3[] = "编辑框3";
inline constexpr char 编辑框4[] = "编辑框4";
inline constexpr char 编辑框5[] = "编辑框5";
inline constexpr char 编辑框6[] = "编辑框6";
inline constexpr char 编辑框7[] = "编辑框7";
inline constexpr char 标签1[] = "标签1";
inline constexpr char 标签3[] = "标签3";
inline constexpr char 标签4[] = "标签4";
inline constexpr char 标签5[] = "标签5";
inline constexpr char 标签6[] = "标签6";
inline constexpr char 标签7[] = "标签7";
inline constexpr char 标签8[] = "标签8";
inline constexpr char 标签9[] = "标签9";
inline constexpr char 标签10[] = "标签10";
inline constexpr char 标签11[] = "标签11";
inline constexpr char 进度条1[] = "进度条1";
inline constexpr char 进度条2[] = "进度条2";
inline constexpr char 进度条3[] = "进度条3";
inline constexpr char 时钟1[] = "时钟1";
inline constexpr char 时钟2[] = "时钟2";
inline constexpr char 分组框9[] = "分组框9";
inline constexpr char 超文本浏览框1[] = "超文本浏览框1";
inline constexpr char 超文本浏览框2[] = "超文本浏览框2";
inline constexpr char 超文本浏览框3[] = "超文本浏览框3";
inline constexpr char 简单超文本框1[] = "简单超文本框1";
}  // namespace formName

enum class ControlKind {
    Button,
    EditBox,
    CheckBox,
    GroupBox,
    Label,
    ProcessBar,
    Timer,
    HtmlViewer,
    SimpleHtml,
};

enum class EditMode { Normal, ReadOnly, Password, DigitsOnly };
enum class Align { Left, Centre, Right };

struct Geometry {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

using Rgb = std::uint32_t;  // 0xRRGGBB
inline constexpr Rgb kBlack = 0x000000;

// One control of the form. Fields that a kind does not use keep their defaults.
struct ControlSpec {
    std::string name;
    ControlKind kind = ControlKind::Label;
    std::string parent;  // empty: the main window; else the group box's name
    Geometry geometry;
    std::string text;   // caption or content (UTF-8, CRLF line ends)
    std::string shows;  // the catalogue entry a box or group shows: an item's id, a game's tag
    bool visible = true;
    bool enabled = true;
    Rgb color = kBlack;  // text or caption colour
    Align align = Align::Left;

    // Kind settings.
    bool boldFont = false;   // Button: bold 宋体, 12 px character height
    bool wordWrap = false;   // Label
    bool multiLine = false;  // EditBox
    bool sunken = false;     // EditBox frame
    EditMode mode = EditMode::Normal;
    int maxLength = 0;  // EditBox, 0 = no limit
    int rangeMin = 0;   // ProcessBar
    int rangeMax = 100;
    int position = 0;
    int period = 0;             // Timer, ms; 0 = stopped
    Rgb background = 0xFFFFFF;  // SimpleHtml

    // Modifiers that keep the table below readable.
    ControlSpec& hidden() { return visible = false, *this; }
    ControlSpec& disabled() { return enabled = false, *this; }
    ControlSpec& coloured(Rgb c) { return color = c, *this; }
    ControlSpec& aligned(Align a) { return align = a, *this; }
};

struct WindowSpec {
    int outerWidth = 912;
    int outerHeight = 556;
    int storedLeft = 50;
    int storedTop = 50;
    std::string title;  // empty in the form; set at start-up
};

const WindowSpec& formWindow();
// Every control, parents before their children.
const std::vector<ControlSpec>& formControls();
// The form name of the control that shows a catalogue entry (an item's id, a game's tag);
// empty when the form has none.
std::string formNameShowing(std::string_view entry);

// Texts the window sets at run time.
std::string mainWindowTitle();  // "Vellicor" + 29 blanks + "Version: 3"
std::string timerGroupCaption(const std::string& clockText);  // "定时系统" + 37 blanks + it

}  // namespace vellicor::app
