#include "setup/GeneralDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "setup/MessageBoxes.h"
#include "setup/SetupRegistry.h"
#include "setup/ViewHelpers.h"
#include "so/printer/ModelProfile.h"

namespace setup {
namespace {

const char* const kLanguages[] = {"U.S.A",      "France",   "Germany",       "U.K.",  "Denmark I",
                                  "Sweden",     "Italy",    "Spain I",       "Japan", "Norway",
                                  "Denmark II", "Spain II", "Latin America", "Korea"};
const char* const kBitmapModes[] = {"Normal", "Double-Width", "Double-Height", "Quadruple"};
const char* const kWidthCaptions[] = {"58 mm", "60 mm", "80 mm", "83 mm"};
const char* const kColumnCaptions[] = {"30", "32", "36", "42", "48", "53"};

using thermpos::so::ModelProfile;

// Models are recognised by their logical device name anywhere in a text (case matters),
// as in a PrinterName value; null when no model's name is in it.
const ModelProfile* ModelNamedIn(const std::string& text) {
    for (const ModelProfile* model : thermpos::so::ModelProfiles()) {
        if (text.find(model->deviceName) != std::string::npos) {
            return model;
        }
    }
    return nullptr;
}

// The width radios for the paper widths the model takes.
std::array<bool, kWidthCount> WidthsOf(const ModelProfile& model) {
    static constexpr LONG kWidthMm[kWidthCount] = {58, 60, 80, 83};
    std::array<bool, kWidthCount> offered{};
    for (LONG mm : model.setup.paperWidths) {
        for (int w = 0; w < kWidthCount; ++w) {
            offered[w] = offered[w] || kWidthMm[w] == mm;
        }
    }
    return offered;
}

// The 58 mm row is the only one that depends on the model: its second radio is the wide
// setting's characters per line (32 on an RT-K410, 36 on the others); 36 where no model is
// recognised.
ColumnRadio Wide58Column(const ModelProfile* model) {
    if (model != nullptr && model->columnSetting(false, 58) == 32) {
        return kCol32;
    }
    return kCol36;
}

int PositionOrNone(unsigned value, std::size_t count) {
    return value < count ? static_cast<int>(value) : -1;
}

}  // namespace

GeneralPage::GeneralPage(CSetupRegistry& registry, CMessageBoxes& messages)
    : registry_(registry), messages_(messages) {}

void GeneralPage::Initialize() {
    DeviceList list = registry_.EnumerateDevices(kPrinterRoot, "FamilyID", "1");
    if (!list.rootOpened) {
        messages_.Error(kError1311);
        return;
    }
    controls_.printers = std::move(list.names);
    controls_.printer = controls_.printers.empty() ? -1 : 0;
    // The printer of the model the page opens on, when the list holds it.
    for (std::size_t i = 0; i < controls_.printers.size(); ++i) {
        const ModelProfile* model = thermpos::so::FindModelByDeviceName(controls_.printers[i]);
        if (model != nullptr && model->setup.openFirst) {
            controls_.printer = static_cast<int>(i);
            break;
        }
    }
    Load();
    controls_.languages.assign(std::begin(kLanguages), std::end(kLanguages));
    controls_.bitmapModes.assign(std::begin(kBitmapModes), std::end(kBitmapModes));
    Show();
    controls_.showPicture = true;
}

std::string GeneralPage::SelectedPrinter() const {
    if (controls_.printer < 0 || controls_.printer >= static_cast<int>(controls_.printers.size())) {
        return {};
    }
    return controls_.printers[static_cast<std::size_t>(controls_.printer)];
}

std::string GeneralPage::LanguageText() const {
    if (controls_.language < 0 ||
        controls_.language >= static_cast<int>(controls_.languages.size())) {
        return {};
    }
    return controls_.languages[static_cast<std::size_t>(controls_.language)];
}

void LoadedNumber::Load(CSetupRegistry& registry, const char* name, const std::string& key) {
    const std::optional<std::string> text = registry.ReadValue(name, key);
    present = text.has_value();
    edited = false;
    if (text) {
        value = ParseDecimal(*text);
    }
}

void GeneralPage::Load() {
    const std::string device = SelectedPrinter();
    if (device.empty()) {
        return;
    }
    const std::string key = PrinterKey(device);
    bitmapMode_.Load(registry_, "BitmapMode", key);
    languageModel_.Load(registry_, "PrinterLanguageModel", key);
    paperSensor_.Load(registry_, "PaperSensor", key);
    mapResolution_.Load(registry_, "MapResolution", key);
    paperModel_.Load(registry_, "PaperModel", key);
    column_.Load(registry_, "Column", key);
    if (std::optional<std::string> name = registry_.ReadValue("PrinterName", key)) {
        printerName_ = *name;
    }
}

void GeneralPage::Show() {
    controls_.bitmapMode = PositionOrNone(bitmapMode_.value, controls_.bitmapModes.size());
    controls_.mapResolution = mapResolution_.value != 0;
    controls_.paperNearEnd = paperSensor_.value != 0;
    controls_.paperEnd = !controls_.paperNearEnd;
    controls_.language = PositionOrNone(languageModel_.value, controls_.languages.size());

    // The widths on offer follow the PrinterName value, the 58 mm columns the device name.
    if (const ModelProfile* model = ModelNamedIn(printerName_)) {
        controls_.widthEnabled = WidthsOf(*model);
    }

    if (paperModel_.value < kWidthCount) {
        const auto width = static_cast<PaperWidth>(paperModel_.value);
        controls_.widthChecked = {};
        controls_.widthChecked[width] = true;
        SetColumnsForWidth(width, column_.value);
    }
}

void GeneralPage::SetColumnsForWidth(PaperWidth width, unsigned column) {
    std::vector<ColumnRadio> radios;
    switch (width) {
        case kWidth58:
            radios = {kCol30, Wide58Column(ModelNamedIn(SelectedPrinter()))};
            break;
        case kWidth60:
            radios = {kCol36};
            break;
        case kWidth80:
            radios = {kCol42, kCol48};
            break;
        case kWidth83:
            radios = {kCol53};
            break;
        case kWidthCount:
            return;
    }
    controls_.columnEnabled = {};
    controls_.columnChecked = {};
    for (ColumnRadio radio : radios) {
        controls_.columnEnabled[radio] = true;
    }
    // A width with a single column selects it whatever Column held.
    const std::size_t pick = (column == 0 || radios.size() == 1) ? 0 : 1;
    controls_.columnChecked[radios[pick]] = true;
}

void GeneralPage::ChoosePrinter(int index) {
    if (index < 0 || index >= static_cast<int>(controls_.printers.size())) {
        return;
    }
    MarkChanged();
    controls_.printer = index;
    Load();
    Show();
}

void GeneralPage::ChooseLanguage(int index) {
    MarkChanged();
    languageModel_.edited = true;
    controls_.language = index;
}

void GeneralPage::ChooseBitmapMode(int index) {
    MarkChanged();
    bitmapMode_.edited = true;
    controls_.bitmapMode = index;
}

void GeneralPage::SetMapResolution(bool on) {
    MarkChanged();
    mapResolution_.edited = true;
    controls_.mapResolution = on;
}

void GeneralPage::ChoosePaperSensor(bool nearEnd) {
    MarkChanged();
    paperSensor_.edited = true;
    controls_.paperNearEnd = nearEnd;
    controls_.paperEnd = !nearEnd;
}

void GeneralPage::ChooseWidth(PaperWidth width) {
    if (width >= kWidthCount) {
        return;
    }
    MarkChanged();
    // A new width selects its columns too.
    paperModel_.edited = true;
    column_.edited = true;
    controls_.widthChecked = {};
    controls_.widthChecked[width] = true;
    SetColumnsForWidth(width, column_.value);
}

void GeneralPage::ChooseColumn(ColumnRadio column) {
    if (column >= kColumnCount) {
        return;
    }
    MarkChanged();
    column_.edited = true;
    controls_.columnChecked = {};
    controls_.columnChecked[column] = true;
}

void GeneralPage::RestoreDefault() {
    // The defaults are the user's choice for every value they set.
    for (LoadedNumber* number :
         {&bitmapMode_, &languageModel_, &paperSensor_, &mapResolution_, &paperModel_, &column_}) {
        number->edited = true;
    }
    controls_.bitmapMode = controls_.bitmapModes.empty() ? -1 : 0;
    controls_.mapResolution = false;
    controls_.paperNearEnd = true;
    controls_.paperEnd = false;
    controls_.language = controls_.languages.empty() ? -1 : 0;
    const ModelProfile* model = ModelNamedIn(SelectedPrinter());
    controls_.widthEnabled = model != nullptr
                                 ? WidthsOf(*model)
                                 : std::array<bool, kWidthCount>{true, false, true, false};
    controls_.widthChecked = {false, false, true, false};
    controls_.columnEnabled = {false, false, false, true, true, false};
    controls_.columnChecked = {false, false, false, false, true, false};
}

void GeneralPage::SaveNumber(const char* valueName, unsigned value, LoadedNumber& loaded) {
    if (!loaded.NeedsWrite(value)) {
        return;
    }
    if (registry_.WriteValue(valueName, FormatCode(value), PrinterKey(SelectedPrinter()))) {
        loaded = {value, true};
    }
}

void GeneralPage::Save() {
    // Without a printer the key path would name the printer root itself.
    if (SelectedPrinter().empty()) {
        return;
    }
    SaveNumber("PaperSensor", controls_.paperEnd ? 0 : 1, paperSensor_);
    // A list left without a selection (a stored position past its end) has nothing to
    // store; writing its "no selection" position would put 4294967295 into the key.
    if (controls_.language >= 0) {
        SaveNumber("PrinterLanguageModel", static_cast<unsigned>(controls_.language),
                   languageModel_);
    }

    unsigned position = 0;
    for (int radio = 0; radio < kColumnCount; ++radio) {
        if (controls_.columnChecked[radio]) {
            position = static_cast<unsigned>(radio);
            break;
        }
    }
    int width = -1;
    for (int w = 0; w < kWidthCount; ++w) {
        if (controls_.widthChecked[w]) {
            width = w;
            break;
        }
    }
    unsigned paperModel = 0;
    unsigned column = position;
    switch (width) {
        case kWidth58: {
            // The model's wide radio is stored as 1; a radio it does not offer as it stands.
            const ModelProfile* model = ModelNamedIn(SelectedPrinter());
            paperModel = 0;
            if (position == kCol30) {
                column = 0;
            } else if (model != nullptr && position == static_cast<unsigned>(Wide58Column(model))) {
                column = 1;
            }
            break;
        }
        case kWidth60:
            paperModel = 1;
            column = 0;
            break;
        case kWidth80:
            paperModel = 2;
            column = controls_.columnChecked[kCol42] ? 0 : 1;
            break;
        case kWidth83:
            paperModel = 3;
            column = 0;
            break;
        default:
            break;
    }
    SaveNumber("PaperModel", paperModel, paperModel_);
    SaveNumber("Column", column, column_);
    if (controls_.bitmapMode >= 0) {
        SaveNumber("BitmapMode", static_cast<unsigned>(controls_.bitmapMode), bitmapMode_);
    }
    SaveNumber("MapResolution", controls_.mapResolution ? 1 : 0, mapResolution_);
}

// ---------------------------------------------------------------------------------------

CGeneralDlg::CGeneralDlg(CSetupRegistry& registry, CMessageBoxes& messages, QWidget* parent)
    : CSetupPage(QStringLiteral("General"), parent), logic_(registry, messages) {
    logic_.onChanged = [this] { emit changed(); };

    picture_ = new QLabel(this);
    picture_->setFixedSize(56, 45);
    picture_->setFrameShape(QFrame::StyledPanel);
    printerName_ = new QComboBox(this);
    printerName_->setObjectName(QStringLiteral("PrinterName"));
    printerName_->setMinimumContentsLength(30);
    languageModel_ = new QComboBox(this);
    languageModel_->setObjectName(QStringLiteral("LanguageModel"));
    mapResolution_ = new QCheckBox(QStringLiteral("Map Image with Printer Resolution"), this);
    mapResolution_->setObjectName(QStringLiteral("MapResolution"));
    bitmapMode_ = new QComboBox(this);
    bitmapMode_->setObjectName(QStringLiteral("BitmapMode"));

    auto* names = new QFormLayout;
    names->addRow(QStringLiteral("Printer Name"), printerName_);
    names->addRow(QStringLiteral("Language Model"), languageModel_);
    names->addRow(QStringLiteral("Bitmap Mode:"), bitmapMode_);
    auto* top = new QHBoxLayout;
    top->addWidget(picture_, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(names, 1);

    // The page, not Qt, decides which radios are checked: all radios of a group may be
    // clear at once, which auto-exclusive radios would not allow.
    auto* sensorBox = new QGroupBox(QStringLiteral("Active Paper Sensor"), this);
    paperEnd_ = new QRadioButton(QStringLiteral("Paper End"), sensorBox);
    paperEnd_->setObjectName(QStringLiteral("PaperEnd"));
    paperNearEnd_ = new QRadioButton(QStringLiteral("Paper Near End"), sensorBox);
    paperNearEnd_->setObjectName(QStringLiteral("PaperNearEnd"));
    paperEnd_->setAutoExclusive(false);
    paperNearEnd_->setAutoExclusive(false);
    auto* sensorLayout = new QHBoxLayout(sensorBox);
    sensorLayout->addWidget(paperEnd_);
    sensorLayout->addWidget(paperNearEnd_);
    sensorLayout->addStretch();

    auto* widthBox = new QGroupBox(QStringLiteral("Paper Model"), this);
    auto* widthLayout = new QGridLayout(widthBox);
    for (int w = 0; w < kWidthCount; ++w) {
        widths_[w] = new QRadioButton(QString::fromLatin1(kWidthCaptions[w]), widthBox);
        widths_[w]->setAutoExclusive(false);
        widths_[w]->setObjectName(QStringLiteral("Width%1").arg(kWidthCaptions[w]).remove(' '));
        widthLayout->addWidget(widths_[w], w / 2, w % 2);
        connect(widths_[w], &QRadioButton::clicked, this, [this, w] {
            logic_.ChooseWidth(static_cast<PaperWidth>(w));
            Refresh();
        });
    }
    auto* columnBox = new QGroupBox(QStringLiteral("Column"), this);
    auto* columnLayout = new QGridLayout(columnBox);
    for (int c = 0; c < kColumnCount; ++c) {
        columns_[c] = new QRadioButton(QString::fromLatin1(kColumnCaptions[c]), columnBox);
        columns_[c]->setAutoExclusive(false);
        columns_[c]->setObjectName(QStringLiteral("Column%1").arg(kColumnCaptions[c]));
        columnLayout->addWidget(columns_[c], c / 3, c % 3);
        connect(columns_[c], &QRadioButton::clicked, this, [this, c] {
            logic_.ChooseColumn(static_cast<ColumnRadio>(c));
            Refresh();
        });
    }
    auto* paper = new QHBoxLayout;
    paper->addWidget(widthBox, 1);
    paper->addWidget(columnBox, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(mapResolution_);
    layout->addWidget(sensorBox);
    layout->addLayout(paper);
    layout->addStretch();
    restoreDefault_ = AddRestoreDefaultRow(this, layout, [this] {
        logic_.RestoreDefault();
        Refresh();
    });

    connect(printerName_, &QComboBox::activated, this, [this](int index) {
        logic_.ChoosePrinter(index);
        Refresh();
    });
    connect(languageModel_, &QComboBox::activated, this,
            [this](int index) { logic_.ChooseLanguage(index); });
    connect(bitmapMode_, &QComboBox::activated, this,
            [this](int index) { logic_.ChooseBitmapMode(index); });
    connect(mapResolution_, &QCheckBox::clicked, this,
            [this](bool on) { logic_.SetMapResolution(on); });
    connect(paperEnd_, &QRadioButton::clicked, this, [this] {
        logic_.ChoosePaperSensor(false);
        Refresh();
    });
    connect(paperNearEnd_, &QRadioButton::clicked, this, [this] {
        logic_.ChoosePaperSensor(true);
        Refresh();
    });
}

void CGeneralDlg::OnInitDialog() {
    logic_.Initialize();
    Refresh();
    if (logic_.Controls().showPicture) {
        // Read from the current directory, as installers have always placed it there.
        QImage image(QDir::currentPath() + QLatin1Char('/') + QLatin1String(kPictureFile));
        if (!image.isNull()) {
            picture_->setPixmap(QPixmap::fromImage(
                image.scaled(56, 45, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
        }
    }
}

void CGeneralDlg::Refresh() {
    const GeneralControls& c = logic_.Controls();
    FillCombo(printerName_, c.printers, c.printer);
    FillCombo(languageModel_, c.languages, c.language);
    FillCombo(bitmapMode_, c.bitmapModes, c.bitmapMode);
    {
        const QSignalBlocker block(mapResolution_);
        mapResolution_->setChecked(c.mapResolution);
    }
    SetRadio(paperEnd_, true, c.paperEnd);
    SetRadio(paperNearEnd_, true, c.paperNearEnd);
    for (int w = 0; w < kWidthCount; ++w) {
        SetRadio(widths_[w], c.widthEnabled[w], c.widthChecked[w]);
    }
    for (int col = 0; col < kColumnCount; ++col) {
        SetRadio(columns_[col], c.columnEnabled[col], c.columnChecked[col]);
    }
}

}  // namespace setup
