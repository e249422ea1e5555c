#include "page_layout.hpp"

#include <cstring>
#include <string_view>

namespace kdr::propertypage {
namespace {

constexpr int kTwipsPerInch = 1440;
// Predefined window classes of dialog templates, by atom.
constexpr WORD kStaticAtom = 0x0082;
constexpr WORD kComboBoxAtom = 0x0085;

constexpr DWORD kPageStyle = WS_CHILD | WS_CLIPSIBLINGS | DS_CONTROL | DS_SETFONT;
constexpr DWORD kComboStyle =
    WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_GROUP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL;
// Labels keep to one line: with a wider font the end is cut, not wrapped
// out of sight.
constexpr DWORD kLabelStyle = WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX;

/// Dialog templates are arrays of 16-bit words with DWORD-aligned items.
class TemplateWriter {
  public:
    void word(WORD value) { words_.push_back(value); }
    void dword(DWORD value) {
        word(LOWORD(value));
        word(HIWORD(value));
    }
    void coordinate(int value) { word(static_cast<WORD>(static_cast<short>(value))); }
    void text(std::wstring_view value) {
        for (const wchar_t c : value) {
            word(static_cast<WORD>(c));
        }
        word(0);
    }
    void align() {
        if (words_.size() % 2 != 0) {
            word(0);
        }
    }
    [[nodiscard]] std::vector<DWORD> finish() {
        align();
        std::vector<DWORD> out(words_.size() / 2);
        std::memcpy(out.data(), words_.data(), words_.size() * sizeof(WORD));
        return out;
    }

  private:
    std::vector<WORD> words_;
};

/// DLGTEMPLATE, no menu, the system's dialog class, no title, the page's font.
void write_header(TemplateWriter& out, DWORD style, int items, int cx, int cy) {
    out.dword(style);
    out.dword(0);
    out.word(static_cast<WORD>(items));
    out.coordinate(0);
    out.coordinate(0);
    out.coordinate(cx);
    out.coordinate(cy);
    out.word(0);
    out.word(0);
    out.text(L"");
    out.word(kDialogFontPoints);
    out.text(kDialogFontFace);
}

INT_PTR CALLBACK measuring_dialog_proc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

}  // namespace

int twips_to_pixels(int twips, int dpi) noexcept {
    return MulDiv(twips, dpi, kTwipsPerInch);
}

int twips_to_dlu_x(int twips, const DialogScale& scale) noexcept {
    // dlu = pixels * 4 / base_x, with pixels = twips * dpi / 1440 and
    // base_x = pixels_per_400 / 100.
    return MulDiv(twips, scale.dpi_x * 400, kTwipsPerInch * scale.pixels_per_400_dlu_x);
}

int twips_to_dlu_y(int twips, const DialogScale& scale) noexcept {
    return MulDiv(twips, scale.dpi_y * 800, kTwipsPerInch * scale.pixels_per_800_dlu_y);
}

HRESULT measure_dialog_scale(HINSTANCE module, DialogScale* scale) noexcept {
    if (scale == nullptr) {
        return E_POINTER;
    }
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) {
        return E_FAIL;
    }
    scale->dpi_x = GetDeviceCaps(screen, LOGPIXELSX);
    scale->dpi_y = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);

    // The system's own measure of the font (MapDialogRect) rather than a
    // second guess at how it averages character widths.
    std::vector<DWORD> header;
    try {
        TemplateWriter out;
        write_header(out, WS_POPUP | DS_SETFONT, 0, 10, 10);
        header = out.finish();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HWND probe =
        CreateDialogIndirectParamW(module, reinterpret_cast<const DLGTEMPLATE*>(header.data()),
                                   nullptr, measuring_dialog_proc, 0);
    if (probe == nullptr) {
        const DWORD error = GetLastError();
        return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    RECT units{0, 0, 400, 800};
    const BOOL mapped = MapDialogRect(probe, &units);
    DestroyWindow(probe);
    if (!mapped || units.right <= 0 || units.bottom <= 0 || scale->dpi_x <= 0 ||
        scale->dpi_y <= 0) {
        return E_FAIL;
    }
    scale->pixels_per_400_dlu_x = units.right;
    scale->pixels_per_800_dlu_y = units.bottom;
    return S_OK;
}

std::vector<DWORD> build_page_template(const DialogScale& scale) {
    TemplateWriter out;
    write_header(out, kPageStyle, static_cast<int>(kPageControls.size()),
                 twips_to_dlu_x(kPageWidthTwips, scale), twips_to_dlu_y(kPageHeightTwips, scale));
    for (const PageControl& control : kPageControls) {
        const bool combo = control.kind == ControlKind::ComboBox;
        out.align();
        out.dword(combo ? kComboStyle : kLabelStyle);
        out.dword(0);
        out.coordinate(twips_to_dlu_x(control.twips.left, scale));
        out.coordinate(twips_to_dlu_y(control.twips.top, scale));
        out.coordinate(twips_to_dlu_x(control.twips.width, scale));
        out.coordinate(twips_to_dlu_y(control.twips.height, scale));
        out.word(control.id);
        out.word(0xFFFF);
        out.word(combo ? kComboBoxAtom : kStaticAtom);
        // The combo box gets its text once its list is filled.
        out.text(combo ? L"" : control.text);
        out.word(0);
    }
    return out.finish();
}

}  // namespace kdr::propertypage
