// The form of the property page General: caption, client size and controls as
// the designer laid them out in twips, and the dialog template that places
// them at the same spot whatever the screen's resolution and the dialog font.
#pragma once

#include <array>
#include <vector>

#include "windows_com.hpp"

namespace kdr::propertypage {

/// The caption on the page's tab in a property frame.
inline constexpr wchar_t kPageCaption[] = L"PropertyPage1";
/// The page's client area in twips.
inline constexpr int kPageWidthTwips = 4260;
inline constexpr int kPageHeightTwips = 3045;

/// The dialog font: the one property frames draw their own controls with.
inline constexpr wchar_t kDialogFontFace[] = L"MS Shell Dlg";
inline constexpr WORD kDialogFontPoints = 8;

/// Child window identifiers. The four Label1 lines are kIdLabel1 + element.
inline constexpr WORD kIdCombo1 = 100;
inline constexpr WORD kIdLabel1 = 110;
inline constexpr WORD kIdLblCommPort = 120;

/// The port numbers Combo1 lists, in order.
inline constexpr int kFirstListedPort = 1;
inline constexpr int kLastListedPort = 16;
/// Combo1 shows this many entries when dropped down.
inline constexpr int kComboVisibleEntries = 8;

enum class ControlKind { ComboBox, Label };

struct TwipsRect {
    int left;
    int top;
    int width;
    int height;
};

/// One control as the designer placed it. Labels are sized to their text:
/// their width and height here are those of the designer's font, and the
/// page sizes them again to their text in the dialog font.
struct PageControl {
    WORD id;
    ControlKind kind;
    const wchar_t* text;  ///< caption, or the initial text of the combo box
    TwipsRect twips;      ///< for the combo box, its closed (text field) height
};

/// The page's controls in tab order.
inline constexpr std::array<PageControl, 6> kPageControls{{
    {kIdCombo1, ControlKind::ComboBox, L"1", {1800, 630, 1005, 315}},
    {kIdLabel1 + 3, ControlKind::Label, L"1 Stop Bit", {1800, 1980, 690, 195}},
    {kIdLabel1 + 2, ControlKind::Label, L"7 Data bits", {1800, 1710, 765, 195}},
    {kIdLabel1 + 1, ControlKind::Label, L"Odd Parity Check", {1800, 1440, 1245, 195}},
    {kIdLabel1 + 0, ControlKind::Label, L"Baud Rate : 19200", {1800, 1170, 1350, 195}},
    {kIdLblCommPort, ControlKind::Label, L"CommPort:", {930, 690, 765, 195}},
}};

/// How the dialog font and the screen turn twips into dialog units: the
/// screen's logical pixels per inch, and the pixels that 400 horizontal and
/// 800 vertical dialog units cover (100 times the font's base units, as the
/// system measures them).
struct DialogScale {
    int dpi_x = 96;
    int dpi_y = 96;
    int pixels_per_400_dlu_x = 600;
    int pixels_per_800_dlu_y = 1300;
};

/// Twips to pixels at `dpi` logical pixels per inch, rounded to the nearest.
[[nodiscard]] int twips_to_pixels(int twips, int dpi) noexcept;
/// Twips to dialog units, rounded to the nearest (one rounding, not two).
[[nodiscard]] int twips_to_dlu_x(int twips, const DialogScale& scale) noexcept;
[[nodiscard]] int twips_to_dlu_y(int twips, const DialogScale& scale) noexcept;

/// The screen's resolution and the dialog font's units on this system,
/// measured with a hidden dialog of the page's font. `module` owns the dialog.
HRESULT measure_dialog_scale(HINSTANCE module, DialogScale* scale) noexcept;

/// The page's DLGTEMPLATE (a hidden child dialog of the frame's page area)
/// with its controls in tab order, in DWORD-aligned memory. Combo1 gets the
/// height of its text field; its list is sized once its entries are known.
/// Throws std::bad_alloc.
[[nodiscard]] std::vector<DWORD> build_page_template(const DialogScale& scale);

}  // namespace kdr::propertypage
