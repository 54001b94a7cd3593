// The formatted-text window: text typed by the operator, decorated with the printer's
// escape sequences (fonts, sizes, styles, alignment), logos and stored bitmaps, printed
// normally or immediately.
//
// CPrintText is the window's logic without widgets: the form state, the text formatting
// and the device calls with their result lines. PrintTextForm binds the controls to it;
// its handlers, named after the controls, are what tests call.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QWidget>
#include <optional>
#include <vector>

#include "exerciser/MyGlobalModule.h"

namespace exerciser {

enum class FontScale { None, Horizontally, Vertically, Both };

// The settings of the "Apply properties on above text" frame that shape the printed text.
struct TextFormat {
    bool reverseVideo = false;
    bool italic = false;     // ItalicOn
    bool bold = false;       // BoldOn
    bool underline = false;  // UnderlineOn
    QString underlineWidth;  // text of UnderLineWidth; empty while none is chosen
    bool color = false;
    int fontSize = 1;
    FontScale scale = FontScale::None;
    bool embeddedData = false;
    QString alignmentCode = QStringLiteral("N");  // "N", "cA" or "rA"
};

// The text with its escape sequences: embedded data is sent as it stands, anything else
// starts with the alignment and the style and size sequences.
QString FormatText(const TextFormat& format, const QString& text);

// The leading whole number of text (blanks before it allowed), 0 when there is none; a
// number too large for 32 bits stops at the largest one.
LONG LeadingNumber(const QString& text);

// A comma-separated device list; an empty list has no entries.
std::vector<QString> SplitList(const QString& list);

// The result list's line while Set Bitmap waits for the printer to store its bitmaps.
inline constexpr char kStoringNotice[] =
    "SetBitmap : Printer is storing the bitmaps, please wait...";
// How long Set Bitmap waits before it says so.
inline constexpr int kStoringNoticeMs = 500;

class CPrintText {
  public:
    explicit CPrintText(CGlobalModule& module) : module_(module) {}

    TextFormat format;

    // "&Print Nrm" (PrintNormal) or "&Print Imm'" (PrintImmediate) of the formatted text,
    // after ValidateData; data the device calls invalid prints only when the operator says
    // Yes.
    void Print(const QString& text, bool immediate);
    // "Top" / "Bottom": stores the text as the logo; returns the text the box gets, or
    // nothing when the box is empty.
    [[nodiscard]] std::optional<QString> SetTopLogo(const QString& text);
    [[nodiscard]] std::optional<QString> SetBottomLogo(const QString& text);
    // "&Set Bitmap": stores the chosen file under the next bitmap number; returns the text
    // appended to the box, or nothing when the operator stopped it.
    [[nodiscard]] std::optional<QString> SetBitmap();
    // Leaving CharCodeCombo, FontNameCombo and txtCharPerLine, choosing a map mode.
    void CharCodeChosen(const QString& text);
    void FontNameChosen(const QString& text);
    void CharPerLineChosen(const QString& text);
    void MapModeChosen(const QString& caption, LONG mapMode);
    // "Worng Value" unless the size fits the scale; false when it did not.
    [[nodiscard]] bool CheckSize(int size);
    // The device's font and character set lists, or nothing without a control object.
    [[nodiscard]] std::optional<std::vector<QString>> FontList();
    [[nodiscard]] std::optional<std::vector<QString>> CharacterSetList();

  private:
    CGlobalModule& module_;
};

class PrintTextForm : public QWidget {
    Q_OBJECT
  public:
    explicit PrintTextForm(CGlobalModule& module, QWidget* parent = nullptr);

    CPrintText& Logic() { return logic_; }

    // The handlers, named after their controls. The main window places the window as it
    // loads; Form_Load is the rest of the load handling.
    void Form_Load();
    void Form_Activate();
    void BoldCheckBox_Click();
    void ItalicsCheckBox_Click();
    void UnderLineCheckBox_Click();
    void FSOption_Click(FontScale scale);
    void FontSizeCombo_Click();
    void AlignmentOption_Click(const QString& code);
    void cmbMapMode_Click();
    void CharCodeCombo_LostFocus();
    void FontNameCombo_LostFocus();
    void txtCharPerLine_LostFocus();
    void TopLogoCommand_Click();
    void BottomLogoCommand_Click();
    void SetBitmapButton_Click();
    void PrintListButton_Click();
    void cmdPrintImmediate_Click();

    QTextEdit* RichTextBox() const { return text_; }
    QComboBox* MapModeCombo() const { return mapMode_; }
    QLineEdit* CharPerLine() const { return charsPerLine_; }
    QComboBox* FontNameCombo() const { return fontName_; }
    QComboBox* FontSizeCombo() const { return fontSize_; }
    QComboBox* UnderLineWidth() const { return underlineWidth_; }
    QComboBox* CharCodeCombo() const { return charCode_; }
    QCheckBox* Check(const char* name) const;
    QRadioButton* Option(const char* name) const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Bold, italic or underline of the whole text, so that the box previews it.
    void StyleAllText(void (*apply)(QTextCharFormat&, bool), bool on);
    void AppendText(const QString& text);
    static void Refill(QComboBox* combo, const std::optional<std::vector<QString>>& entries);

    CPrintText logic_;
    QTextEdit* text_;
    QComboBox* mapMode_;
    QLineEdit* charsPerLine_;
    QComboBox* fontName_;
    QComboBox* fontSize_;
    QComboBox* underlineWidth_;
    QComboBox* charCode_;
};

}  // namespace exerciser
