#include "exerciser/PrintTextForm.h"

#include <QEvent>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QVBoxLayout>
#include <limits>

#include "exerciser/PrintExercises.h"
#include "opos/OposConstants.h"

namespace exerciser {

namespace {

const QString kEsc = QString(QChar(0x1b));
constexpr int kBitmapSlots = 20;

QString Sequence(const QString& body) {
    return kEsc + u'|' + body;
}

bool WholeNumber(const QString& text, LONG* value) {
    bool ok = false;
    const qlonglong n = text.trimmed().toLongLong(&ok);
    if (!ok || n < std::numeric_limits<LONG>::min() || n > std::numeric_limits<LONG>::max())
        return false;
    *value = static_cast<LONG>(n);
    return true;
}

}  // namespace

QString FormatText(const TextFormat& format, const QString& text) {
    if (format.embeddedData)
        return Sequence(QString::number(text.size()) + u'E') + text;
    QString prefix;
    if (format.reverseVideo)
        prefix += Sequence(QStringLiteral("rvC"));
    if (format.italic)
        prefix += Sequence(QStringLiteral("iC"));
    if (format.bold)
        prefix += Sequence(QStringLiteral("bC"));
    if (format.underline)
        prefix += Sequence(format.underlineWidth + QStringLiteral("uC"));
    if (format.color)
        prefix += Sequence(QStringLiteral("rC"));
    const QString size = QString::number(format.fontSize);
    switch (format.scale) {
        case FontScale::None:
            prefix += Sequence(size + u'C');
            break;
        case FontScale::Horizontally:
            prefix += Sequence(size + QStringLiteral("hC"));
            break;
        case FontScale::Vertically:
            prefix += Sequence(size + QStringLiteral("vC"));
            break;
        case FontScale::Both:
            prefix += Sequence(size + QStringLiteral("hC")) + Sequence(size + QStringLiteral("vC"));
            break;
    }
    return Sequence(format.alignmentCode) + prefix + text;
}

LONG LeadingNumber(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    long long n = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
        n = std::min<long long>(n * 10 + (text[i].unicode() - u'0'),
                                std::numeric_limits<LONG>::max());
    return static_cast<LONG>(negative ? -n : n);
}

std::vector<QString> SplitList(const QString& list) {
    std::vector<QString> entries;
    if (list.isEmpty())
        return entries;
    for (const QString& entry : list.split(u','))
        entries.push_back(entry);
    return entries;
}

// ---------------------------------------------------------------------------------------

void CPrintText::Print(const QString& text, bool immediate) {
    const QString data = FormatText(format, text);
    const LONG valid = PrintOnStation(module_, "ValidateData", data);
    if (valid != OPOS_SUCCESS &&
        module_.Messages().Show(
            "The Data you are trying to print is not valid, Service Object returned : " +
                ResultCodeText(valid),
            "Valid Data..", CMessageBoxes::Icon::Question,
            CMessageBoxes::Buttons::YesNo) != CMessageBoxes::Reply::Yes)
        return;
    const char* method = immediate ? "PrintImmediate" : "PrintNormal";
    module_.LogResult(method, PrintOnStation(module_, method, data));
}

std::optional<QString> CPrintText::SetTopLogo(const QString& text) {
    if (text.isEmpty())
        return std::nullopt;
    thermpos::platform::com::OutgoingArgs args;
    args.Long(PTR_L_TOP);
    AddText(args, text);
    module_.LogResult("Set Top Logo:", module_.PrinterCO.Call("SetLogo", args));
    return Sequence(QStringLiteral("tL")) +
           QStringLiteral("\r\nTop Logo Set to Print Just Press 'Print Text' Command Button\r\n");
}

std::optional<QString> CPrintText::SetBottomLogo(const QString& text) {
    if (text.isEmpty())
        return std::nullopt;
    thermpos::platform::com::OutgoingArgs args;
    args.Long(PTR_L_BOTTOM);
    AddText(args, text);
    module_.LogResult("Set Bottom Logo:", module_.PrinterCO.Call("SetLogo", args));
    return QStringLiteral("Bottom Logo Set to Print Just Press Print Text Command Button\r\n") +
           Sequence(QStringLiteral("bL")) + QStringLiteral("\r\n");
}

std::optional<QString> CPrintText::SetBitmap() {
    if (!module_.CheckPrinterReady() || !module_.SelectBitmapFile())
        return std::nullopt;
    module_.BitmapNumber += 1;
    if (module_.BitmapNumber > kBitmapSlots) {
        const std::string question =
            std::to_string(kBitmapSlots) +
            "Bitmaps are Already Selected, Do you want to set it at first postion ? 'Yes\\No'";
        if (module_.Messages().Show(question, "Print Bitmap", CMessageBoxes::Icon::Question,
                                    CMessageBoxes::Buttons::YesNo) != CMessageBoxes::Reply::Yes)
            return std::nullopt;
        module_.BitmapNumber = 1;
    }
    thermpos::platform::com::OutgoingArgs args;
    args.Long(module_.BitmapNumber).Long(module_.CurrentStation);
    AddText(args, QString::fromStdString(module_.BitmapFileName));
    args.Long(PTR_BM_ASIS).Long(PTR_BM_CENTER);
    module_.LogResult("SetBitmap", module_.PrinterCO.Call("SetBitmap", args));
    return QStringLiteral("\r\n") + Sequence(QString::number(module_.BitmapNumber) + u'B');
}

void CPrintText::CharCodeChosen(const QString& text) {
    COposObject& printer = module_.PrinterCO;
    if (!printer.Exists())
        return;
    printer.SetLong("CharacterSet", LeadingNumber(text));
    module_.LogResult("Char Table Changed:", printer.GetLong("ResultCode"));
}

void CPrintText::FontNameChosen(const QString& text) {
    if (!module_.PrinterCO.Exists())
        return;
    const QString font = Sequence(QString::number(LeadingNumber(text)) + QStringLiteral("fT"));
    module_.LogResult("Font Changed:", PrintOnStation(module_, "PrintNormal", font));
}

void CPrintText::CharPerLineChosen(const QString& text) {
    COposObject& printer = module_.PrinterCO;
    if (!printer.Exists())
        return;
    const char* property = nullptr;
    switch (module_.CurrentStation) {
        case PTR_S_JOURNAL:
            property = "JrnLineChars";
            break;
        case PTR_S_RECEIPT:
            property = "RecLineChars";
            break;
        case PTR_S_SLIP:
            property = "SlpLineChars";
            break;
        default:
            break;
    }
    if (property) {
        LONG chars = 0;
        // Anything but a whole number would reach the device as some other number.
        if (!WholeNumber(text, &chars)) {
            module_.LogAutomationFailure("Char\\Line Set: \"" + text.toStdString() +
                                         "\" is not a number");
            return;
        }
        printer.SetLong(property, chars);
    }
    module_.LogResult("Char\\Line Set:", printer.GetLong("ResultCode"));
}

void CPrintText::MapModeChosen(const QString& caption, LONG mapMode) {
    COposObject& printer = module_.PrinterCO;
    if (!printer.Exists())
        return;
    printer.SetLong("MapMode", mapMode);
    module_.LogResult("MapMode Changed to: " + caption.toStdString(),
                      printer.GetLong("ResultCode"));
}

bool CPrintText::CheckSize(int size) {
    if (format.scale != FontScale::None || size <= 4)
        return true;
    module_.Messages().Show("Worng Value: Only Values from 1 to 4 can be selected...",
                            "Warning:", CMessageBoxes::Icon::Critical, CMessageBoxes::Buttons::Ok);
    return false;
}

std::optional<std::vector<QString>> CPrintText::FontList() {
    if (!module_.PrinterCO.Exists())
        return std::nullopt;
    return SplitList(QString::fromStdString(module_.PrinterCO.GetString("FontTypefaceList")));
}

std::optional<std::vector<QString>> CPrintText::CharacterSetList() {
    if (!module_.PrinterCO.Exists())
        return std::nullopt;
    return SplitList(QString::fromStdString(module_.PrinterCO.GetString("CharacterSetList")));
}

// ---------------------------------------------------------------------------------------

namespace {

template <typename T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* Label(const char* name, const char* caption, QWidget* parent) {
    return Named(new QLabel(QString::fromLatin1(caption), parent), name);
}

}  // namespace

PrintTextForm::PrintTextForm(CGlobalModule& module, QWidget* parent)
    : QWidget(parent), logic_(module) {
    setObjectName(QStringLiteral("PrintTextForm"));
    setWindowTitle(QStringLiteral("Test The Formated Text and Bitmap"));

    QLabel* label7 = Label("Label7", "E&nter Text To Print:", this);
    text_ = Named(new QTextEdit(this), "RichTextBox");
    text_->setAcceptRichText(false);
    text_->setPlainText(QStringLiteral("Enter Text to Format\n"));
    label7->setBuddy(text_);

    QLabel* label6 = Label("Label6", "Set Map Mode:", this);
    mapMode_ = Named(new QComboBox(this), "cmbMapMode");
    for (auto [caption, mode] : {std::pair{"Dots", PTR_MM_DOTS},
                                 {"Twips", PTR_MM_TWIPS},
                                 {"Metrics", PTR_MM_METRIC},
                                 {"English", PTR_MM_ENGLISH}})
        mapMode_->addItem(QString::fromLatin1(caption), QVariant::fromValue<int>(mode));
    QLabel* label5 = Label("Label5", "Chars / Line:", this);
    charsPerLine_ = Named(new QLineEdit(QStringLiteral("48"), this), "txtCharPerLine");
    charsPerLine_->setMaximumWidth(48);

    auto* frame4 =
        Named(new QGroupBox(QStringLiteral("Apply properties on above text"), this), "Frame4");
    QLabel* label1 = Label("Label1", "Font Name:", frame4);
    fontName_ = Named(new QComboBox(frame4), "FontNameCombo");
    QLabel* label2 = Label("Label2", "Size and Scale", frame4);
    fontSize_ = Named(new QComboBox(frame4), "FontSizeCombo");
    for (int size = 1; size <= 7; ++size)
        fontSize_->addItem(QString::number(size));

    auto* frame2 = Named(new QGroupBox(QStringLiteral("Font Scale:"), frame4), "Frame2");
    auto* scales = new QGridLayout(frame2);
    const std::pair<const char*, const char*> scaleOptions[] = {{"FSOption1", "None"},
                                                                {"FSOption2", "Horizontally"},
                                                                {"FSOption3", "Vertically"},
                                                                {"FSOption4", "Both"}};
    for (int i = 0; i < 4; ++i) {
        auto* option = Named(new QRadioButton(QString::fromLatin1(scaleOptions[i].second), frame2),
                             scaleOptions[i].first);
        scales->addWidget(option, i / 2, i % 2);
        const auto scale = static_cast<FontScale>(i);
        connect(option, &QRadioButton::toggled, this, [this, scale](bool on) {
            if (on)
                FSOption_Click(scale);
        });
    }

    underlineWidth_ = Named(new QComboBox(frame4), "UnderLineWidth");
    for (int width = 1; width <= 4; ++width)
        underlineWidth_->addItem(QString::number(width));
    underlineWidth_->setCurrentIndex(-1);
    underlineWidth_->setToolTip(QStringLiteral("Underline thickness"));

    auto* styles = new QGridLayout;
    const std::pair<const char*, const char*> checks[] = {
        {"BoldCheckBox", "&Bold"},           {"ItalicsCheckBox", "&Italics"},
        {"UnderLineCheckBox", "&UnderLine"}, {"ReverseVideoCheck", "&Reverse Video"},
        {"ColorCheck", "Color Print"},       {"EmbeddedDataCheck", "Embedded Data"}};
    for (int i = 0; i < 6; ++i) {
        auto* box =
            Named(new QCheckBox(QString::fromLatin1(checks[i].second), frame4), checks[i].first);
        if (i != 2) {
            styles->addWidget(box, i / 3, i % 3);
            continue;
        }
        // The thickness sits beside the box it belongs to.
        auto* underline = new QHBoxLayout;
        underline->addWidget(box);
        underline->addWidget(underlineWidth_);
        underline->addStretch();
        styles->addLayout(underline, 0, 2);
    }

    auto* frame3 = Named(new QGroupBox(QStringLiteral("Alignment:"), frame4), "Frame3");
    auto* alignments = new QVBoxLayout(frame3);
    for (auto [name, caption, code] : {std::tuple{"Option3", "Normal", "N"},
                                       {"Option2", "Center", "cA"},
                                       {"Option1", "Right", "rA"}}) {
        auto* option = Named(new QRadioButton(QString::fromLatin1(caption), frame3), name);
        alignments->addWidget(option);
        const QString alignment = QString::fromLatin1(code);
        connect(option, &QRadioButton::toggled, this, [this, alignment](bool on) {
            if (on)
                AlignmentOption_Click(alignment);
        });
    }

    QLabel* label3 = Label("Label3", "Character Code:", frame4);
    charCode_ = Named(new QComboBox(frame4), "CharCodeCombo");
    QLabel* label4 = Label("Label4", "Set Text Logo:", frame4);
    auto* top = Named(new QPushButton(QStringLiteral("Top"), frame4), "TopLogoCommand");
    auto* bottom = Named(new QPushButton(QStringLiteral("Bottom"), frame4), "BottomLogoCommand");
    auto* setBitmap =
        Named(new QPushButton(QStringLiteral("&Set Bitmap"), frame4), "SetBitmapButton");
    auto* printNormal =
        Named(new QPushButton(QStringLiteral("&Print Nrm"), frame4), "PrintListButton");
    auto* printImmediate =
        Named(new QPushButton(QStringLiteral("&Print Imm'"), frame4), "cmdPrintImmediate");
    QFont bold = printNormal->font();
    bold.setBold(true);
    for (QPushButton* b : {printNormal, printImmediate}) {
        b->setFont(bold);
        b->setToolTip(QStringLiteral("Prints all lines of formated text in list box"));
    }
    printImmediate->setDefault(true);

    auto* fonts = new QGridLayout;
    fonts->addWidget(label1, 0, 0);
    fonts->addWidget(fontName_, 0, 1, 1, 3);
    fonts->addWidget(label2, 1, 0);
    fonts->addWidget(fontSize_, 1, 1);
    fonts->addWidget(label3, 1, 2);
    fonts->addWidget(charCode_, 1, 3);
    fonts->setColumnStretch(1, 1);
    fonts->setColumnStretch(3, 1);
    auto* frames = new QHBoxLayout;
    frames->addWidget(frame2, 2);
    frames->addWidget(frame3, 1);
    auto* logos = new QHBoxLayout;
    logos->addWidget(label4);
    logos->addWidget(top);
    logos->addWidget(bottom);
    logos->addStretch();
    logos->addWidget(setBitmap);
    auto* prints = new QHBoxLayout;
    prints->addWidget(printNormal);
    prints->addWidget(printImmediate);
    auto* inFrame4 = new QVBoxLayout(frame4);
    inFrame4->addLayout(fonts);
    inFrame4->addLayout(frames);
    inFrame4->addLayout(styles);
    inFrame4->addLayout(logos);
    inFrame4->addLayout(prints);

    auto* settings = new QHBoxLayout;
    settings->addWidget(label6);
    settings->addWidget(mapMode_, 1);
    settings->addSpacing(12);
    settings->addWidget(label5);
    settings->addWidget(charsPerLine_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label7);
    layout->addWidget(text_, 1);
    layout->addLayout(settings);
    layout->addWidget(frame4);

    Option("FSOption1")->setChecked(true);
    Option("Option3")->setChecked(true);

    connect(Check("BoldCheckBox"), &QCheckBox::toggled, this, [this] { BoldCheckBox_Click(); });
    connect(Check("ItalicsCheckBox"), &QCheckBox::toggled, this,
            [this] { ItalicsCheckBox_Click(); });
    connect(Check("UnderLineCheckBox"), &QCheckBox::toggled, this,
            [this] { UnderLineCheckBox_Click(); });
    connect(Check("ReverseVideoCheck"), &QCheckBox::toggled, this,
            [this](bool on) { logic_.format.reverseVideo = on; });
    connect(Check("ColorCheck"), &QCheckBox::toggled, this,
            [this](bool on) { logic_.format.color = on; });
    connect(Check("EmbeddedDataCheck"), &QCheckBox::toggled, this,
            [this](bool on) { logic_.format.embeddedData = on; });
    connect(underlineWidth_, &QComboBox::currentTextChanged, this,
            [this](const QString& width) { logic_.format.underlineWidth = width; });
    connect(fontSize_, &QComboBox::currentTextChanged, this,
            [this](const QString& size) { logic_.format.fontSize = size.toInt(); });
    connect(fontSize_, &QComboBox::activated, this, [this] { FontSizeCombo_Click(); });
    connect(mapMode_, &QComboBox::activated, this, [this] { cmbMapMode_Click(); });
    connect(top, &QPushButton::clicked, this, &PrintTextForm::TopLogoCommand_Click);
    connect(bottom, &QPushButton::clicked, this, &PrintTextForm::BottomLogoCommand_Click);
    connect(setBitmap, &QPushButton::clicked, this, &PrintTextForm::SetBitmapButton_Click);
    connect(printNormal, &QPushButton::clicked, this, &PrintTextForm::PrintListButton_Click);
    connect(printImmediate, &QPushButton::clicked, this, &PrintTextForm::cmdPrintImmediate_Click);
    for (QWidget* w : std::initializer_list<QWidget*>{fontName_, charCode_, charsPerLine_})
        w->installEventFilter(this);

    resize(400, 520);
    Form_Load();
}

void PrintTextForm::Form_Load() {
    logic_.format.italic = false;
    logic_.format.bold = false;
    logic_.format.underline = false;
    logic_.format.alignmentCode = QStringLiteral("N");
    fontSize_->setCurrentIndex(0);
    mapMode_->setCurrentIndex(0);
    cmbMapMode_Click();
    AppendText(QStringLiteral("\n"));
}

QCheckBox* PrintTextForm::Check(const char* name) const {
    return findChild<QCheckBox*>(QString::fromLatin1(name));
}

QRadioButton* PrintTextForm::Option(const char* name) const {
    return findChild<QRadioButton*>(QString::fromLatin1(name));
}

void PrintTextForm::Refill(QComboBox* combo, const std::optional<std::vector<QString>>& entries) {
    if (!entries)
        return;
    combo->clear();
    for (const QString& entry : *entries)
        combo->addItem(entry);
    combo->setCurrentIndex(entries->empty() ? -1 : 0);
}

void PrintTextForm::Form_Activate() {
    Refill(fontName_, logic_.FontList());
    Refill(charCode_, logic_.CharacterSetList());
}

void PrintTextForm::StyleAllText(void (*apply)(QTextCharFormat&, bool), bool on) {
    QTextCharFormat style;
    apply(style, on);
    QTextCursor all(text_->document());
    all.select(QTextCursor::Document);
    all.mergeCharFormat(style);
    text_->mergeCurrentCharFormat(style);
}

void PrintTextForm::BoldCheckBox_Click() {
    const bool on = Check("BoldCheckBox")->isChecked();
    StyleAllText(
        [](QTextCharFormat& f, bool b) { f.setFontWeight(b ? QFont::Bold : QFont::Normal); }, on);
    logic_.format.bold = on;
}

void PrintTextForm::ItalicsCheckBox_Click() {
    const bool on = Check("ItalicsCheckBox")->isChecked();
    StyleAllText([](QTextCharFormat& f, bool b) { f.setFontItalic(b); }, on);
    logic_.format.italic = on;
}

void PrintTextForm::UnderLineCheckBox_Click() {
    const bool on = Check("UnderLineCheckBox")->isChecked();
    StyleAllText([](QTextCharFormat& f, bool b) { f.setFontUnderline(b); }, on);
    logic_.format.underline = on;
}

void PrintTextForm::FSOption_Click(FontScale scale) {
    logic_.format.scale = scale;
    if (scale == FontScale::None)
        fontSize_->setCurrentIndex(0);
}

void PrintTextForm::FontSizeCombo_Click() {
    if (!logic_.CheckSize(fontSize_->currentText().toInt()))
        fontSize_->setCurrentIndex(0);
}

void PrintTextForm::AlignmentOption_Click(const QString& code) {
    logic_.format.alignmentCode = code;
}

void PrintTextForm::cmbMapMode_Click() {
    if (mapMode_->currentIndex() < 0)
        return;
    logic_.MapModeChosen(mapMode_->currentText(), mapMode_->currentData().toInt());
}

void PrintTextForm::CharCodeCombo_LostFocus() {
    logic_.CharCodeChosen(charCode_->currentText());
}

void PrintTextForm::FontNameCombo_LostFocus() {
    logic_.FontNameChosen(fontName_->currentText());
}

void PrintTextForm::txtCharPerLine_LostFocus() {
    logic_.CharPerLineChosen(charsPerLine_->text());
}

void PrintTextForm::AppendText(const QString& text) {
    QTextCursor end(text_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text);
}

void PrintTextForm::TopLogoCommand_Click() {
    if (auto replaced = logic_.SetTopLogo(text_->toPlainText()))
        text_->setPlainText(*replaced);
}

void PrintTextForm::BottomLogoCommand_Click() {
    if (auto replaced = logic_.SetBottomLogo(text_->toPlainText()))
        text_->setPlainText(*replaced);
}

void PrintTextForm::SetBitmapButton_Click() {
    if (auto added = logic_.SetBitmap())
        AppendText(*added);
}

void PrintTextForm::PrintListButton_Click() {
    logic_.Print(text_->toPlainText(), false);
}

void PrintTextForm::cmdPrintImmediate_Click() {
    logic_.Print(text_->toPlainText(), true);
}

bool PrintTextForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        // Opening a combo's list or switching to another program is not leaving the box.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) {
            if (watched == charCode_)
                CharCodeCombo_LostFocus();
            else if (watched == fontName_)
                FontNameCombo_LostFocus();
            else if (watched == charsPerLine_)
                txtCharPerLine_LostFocus();
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace exerciser
