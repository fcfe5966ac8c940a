// The main window's form description: the window and its controls with the
// geometry, captions, fonts, tab order and properties that every front end
// builds its controls from. Geometry is in pixels of a 120 pixels-per-inch
// design; a front end scales it to the screen's resolution.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace resources {

// The application's title: the taskbar text and the caption of the box that
// reports an unexpected exception.
inline constexpr std::string_view kApplicationTitle = "KS_E -> IDU";

inline constexpr int kDesignPixelsPerInch = 120;

// Scales one design value to a screen of screenPpi, rounding to the nearest
// pixel (halves away from zero), as the window and each control are scaled.
constexpr int ScaleToScreen(int designValue, int screenPpi) {
  const long long product = static_cast<long long>(designValue) * screenPpi;
  const long long half = kDesignPixelsPerInch / 2;
  return static_cast<int>(product >= 0 ? (product + half) / kDesignPixelsPerInch
                                       : -((-product + half) / kDesignPixelsPerInch));
}

struct FontSpec {
  // The family the design names, and the families to use where it is not
  // installed, best first. The substitutes come with Debian's fonts-dejavu-core
  // and fonts-liberation.
  std::string_view family;
  std::array<std::string_view, 2> substitutes;
  // Character height in design pixels, internal leading excluded.
  int height;
  bool bold;
  // Windows character set number: 1 default, 238 East European.
  int charset;
};

// "MS Sans Serif", 11 pixels: the window's font and that of every control
// without a font of its own.
inline constexpr FontSpec kWindowFont{"MS Sans Serif", {"DejaVu Sans", "Liberation Sans"}, 11,
                                      false, 1};
// "MS Serif", 25 pixels, bold: the version label.
inline constexpr FontSpec kLabelFont{"MS Serif", {"DejaVu Serif", "Liberation Serif"}, 25, true,
                                     238};

enum class ControlKind { Panel, Label, Button, ProgressBar, ListBox, StaticText, Timer };
enum class Bevel { None, Lowered };
enum class Alignment { Left, Center };

struct ControlSpec {
  std::string_view name;
  ControlKind kind;
  // Empty: the window itself.
  std::string_view parent;
  int left;
  int top;
  int width;
  int height;
  // -1: not in the tab order (labels and timers).
  int tabOrder;
  // "&" marks the access key.
  std::string_view caption;
  bool visible = true;
  // Only ProgSrc is excluded: it never takes the focus.
  bool canFocus = false;
  const FontSpec* font = &kWindowFont;
  Bevel bevelOuter = Bevel::None;
  bool sunkenBorder = false;
  Alignment alignment = Alignment::Left;
  bool autoSize = false;
  bool smooth = false;
  int rangeMin = 0;
  int rangeMax = 0;
  int position = 0;
  int itemHeight = 0;
  // Timers: disabled at start, interval in milliseconds.
  bool enabled = true;
  int intervalMs = 0;
  // The handler of the control's event (click or tick), if any.
  std::string_view handler = {};
};

struct FormSpec {
  std::string_view className;
  std::string_view instanceName;
  std::string_view caption;
  int clientWidth;
  int clientHeight;
  // Stored design position; the window is centred on the screen instead.
  int designLeft;
  int designTop;
  bool centred;
  bool resizable;
  bool systemMenu;
  bool minimizeButton;
  bool maximizeButton;
  int textHeight;
  const FontSpec* font;
  std::string_view focusedControl;
  std::string_view closeHandler;
};

inline constexpr FormSpec kMainForm{
    .className = "TMainPanel",
    .instanceName = "MainPanel",
    .caption = "KS_E -> IDU",
    .clientWidth = 215,
    .clientHeight = 92,
    .designLeft = 453,
    .designTop = 470,
    .centred = true,
    .resizable = false,
    .systemMenu = true,
    .minimizeButton = true,
    .maximizeButton = false,
    .textHeight = 13,
    .font = &kWindowFont,
    .focusedControl = "Button1",
    .closeHandler = "FormClose",
};

// In creation and tab order. Left and top are relative to the parent.
inline constexpr std::array<ControlSpec, 7> kMainFormControls{{
    {.name = "Panel1", .kind = ControlKind::Panel, .parent = "", .left = 7, .top = 7,
     .width = 202, .height = 39, .tabOrder = 0, .caption = "", .bevelOuter = Bevel::Lowered},
    {.name = "Label1", .kind = ControlKind::Label, .parent = "Panel1", .left = 7, .top = 7,
     .width = 189, .height = 26, .tabOrder = -1, .caption = "version 2.3", .font = &kLabelFont,
     .alignment = Alignment::Center, .autoSize = false},
    {.name = "Button1", .kind = ControlKind::Button, .parent = "", .left = 7, .top = 52,
     .width = 60, .height = 20, .tabOrder = 1, .caption = "&Start", .canFocus = true,
     .handler = "Button1Click"},
    {.name = "ProgressBar1", .kind = ControlKind::ProgressBar, .parent = "", .left = 78,
     .top = 52, .width = 131, .height = 20, .tabOrder = 2, .caption = "", .smooth = true,
     .rangeMin = 0, .rangeMax = 100, .position = 0},
    {.name = "ProgSrc", .kind = ControlKind::ListBox, .parent = "", .left = 182, .top = 20,
     .width = 14, .height = 13, .tabOrder = 3, .caption = "", .visible = false,
     .canFocus = false, .itemHeight = 13},
    {.name = "StaticText1", .kind = ControlKind::StaticText, .parent = "", .left = 0,
     .top = 78, .width = 215, .height = 14, .tabOrder = 4, .caption = "",
     .sunkenBorder = true, .autoSize = false},
    {.name = "Delay", .kind = ControlKind::Timer, .parent = "", .left = 0, .top = 0,
     .width = 0, .height = 0, .tabOrder = -1, .caption = "", .visible = false,
     .enabled = false, .intervalMs = 1000, .handler = "DelayTimer"},
}};

// The window's icon: 32 x 32 pixels in the 16 standard colours. Each row is
// one character a pixel: a hex digit indexes kIconPalette, '.' is clear.
// It shows the indoor unit with its mast and an arrow up: an upgrade.
inline constexpr std::array<std::uint32_t, 16> kIconPalette{
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
inline constexpr std::array<std::string_view, 32> kIcon{{
      "................................",
      "................................",
      "................8...............",
      "............C...8...C...........",
      ".............C..8..C............",
      "..............C.8.C.............",
      "...............C8C..............",
      "................8...............",
      "................8...............",
      "................8...............",
      "................8...............",
      "................8...............",
      "................8...............",
      "................8...............",
      "...88888888888888888888888888...",
      "...87777777777777777777777778...",
      "...87777777777777777777777778...",
      "...87700000000077777727777778...",
      "...8770AAAAAAA077777222777778...",
      "...8770AAAAAAA077772222277778...",
      "...8770AAAAAAA077722222227778...",
      "...87700000000077777222777778...",
      "...87777777777777777222777778...",
      "...87777777777777777222777778...",
      "...877AA777777777777222777778...",
      "...87777777777777777222777778...",
      "...87777777777777777777777778...",
      "...88888888888888888888888888...",
      "...88888888888888888888888888...",
      "................................",
      "................................",
      "................................"
}};

constexpr bool IconIsWellFormed() {
  for (std::string_view row : kIcon) {
    if (row.size() != kIcon.size()) return false;
    for (char c : row) {
      if (c != '.' && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
  }
  return true;
}
static_assert(IconIsWellFormed());

// The control of that name, or nothing.
constexpr const ControlSpec* FindControl(std::string_view name) {
  for (const ControlSpec& c : kMainFormControls) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

}  // namespace resources
