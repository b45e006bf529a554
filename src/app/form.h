#pragma once
// The main window's form: the window's own properties and its 90 controls, as one table
// from which the window is built. Nothing of the layout is read from a file.

#include <cstdint>
#include <string>
#include <vector>

namespace vellicor::app {

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
    std::string text;  // caption or content (UTF-8, CRLF line ends)
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

// Texts the window sets at run time.
std::string mainWindowTitle();  // "Vellicor" + 29 blanks + "Version: 3"
std::string timerGroupCaption(const std::string& clockText);  // "定时系统" + 37 blanks + it

}  // namespace vellicor::app
