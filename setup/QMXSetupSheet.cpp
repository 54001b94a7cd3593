#include "setup/QMXSetupSheet.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QIcon>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include "setup/AboutUs.h"
#include "setup/CashDrawerDlg.h"
#include "setup/ComPropertiesDlg.h"
#include "setup/GeneralDlg.h"
#include "setup/PortDlg.h"

// The program icon lives in a resource of the static library shared with the tests.
static void InitSetupResources() {
    Q_INIT_RESOURCE(SetupSheet);
}

namespace setup {

CQMXSetupSheet::CQMXSetupSheet(CSetupRegistry& registry, CMessageBoxes& messages,
                               CPortServices& services, QWidget* parent)
    : QDialog(parent) {
    InitSetupResources();
    setWindowTitle(QString::fromLatin1(kSheetCaption));
    setWindowIcon(QIcon(QStringLiteral(":/setup/printer.bmp")));
    // No help button anywhere: the sheet has no help to offer.
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    tabs_ = new QTabWidget(this);
    general_ = new CGeneralDlg(registry, messages);
    cashDrawer_ = new CCashDrawerDlg(registry, messages, general_);
    port_ = new CPortDlg(registry, messages, services, general_);
    about_ = new CAboutUs(general_);
    pages_ = {general_, cashDrawer_, port_, about_};
    for (CSetupPage* page : pages_) {
        tabs_->addTab(page, page->Caption());
        connect(page, &CSetupPage::changed, this, &CQMXSetupSheet::UpdateApply);
    }

    buttons_ = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    ApplyButton()->setEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);

    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(pages_.size())) {
            pages_[static_cast<std::size_t>(index)]->Activate();
        }
    });
    connect(ApplyButton(), &QPushButton::clicked, this, &CQMXSetupSheet::ApplyAll);
    connect(buttons_, &QDialogButtonBox::accepted, this, [this] {
        ApplyAll();
        accept();
    });
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

CQMXSetupSheet::~CQMXSetupSheet() = default;

QPushButton* CQMXSetupSheet::OkButton() const {
    return buttons_->button(QDialogButtonBox::Ok);
}
QPushButton* CQMXSetupSheet::CancelButton() const {
    return buttons_->button(QDialogButtonBox::Cancel);
}
QPushButton* CQMXSetupSheet::ApplyButton() const {
    return buttons_->button(QDialogButtonBox::Apply);
}

void CQMXSetupSheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The current page becomes active when the sheet first appears.
    if (!event->spontaneous()) {
        CSetupPage* current = pages_[static_cast<std::size_t>(tabs_->currentIndex())];
        if (!current->IsInitialized()) {
            current->Activate();
        }
    }
}

void CQMXSetupSheet::SetActivePage(int index) {
    if (tabs_->currentIndex() == index) {
        return;
    }
    tabs_->setCurrentIndex(index);
}

void CQMXSetupSheet::ApplyAll() {
    for (CSetupPage* page : pages_) {
        page->Apply();
    }
    for (CSetupPage* page : pages_) {
        page->MarkUnchanged();
    }
    ApplyButton()->setEnabled(false);
}

void CQMXSetupSheet::UpdateApply() {
    bool changed = false;
    for (CSetupPage* page : pages_) {
        changed = changed || page->IsChanged();
    }
    ApplyButton()->setEnabled(changed);
}

bool CQMXSetupSheet::SaveScreenshots(const QString& dir, CSetupRegistry& registry,
                                     CMessageBoxes& messages) {
    static const char* const kFiles[] = {"general.png", "cashdrawer.png", "port.png",
                                         "aboutus.png"};
    QDir().mkpath(dir);
    bool ok = true;
    for (int i = 0; i < static_cast<int>(pages_.size()); ++i) {
        SetActivePage(i);
        ok = grab().save(QDir(dir).filePath(QString::fromLatin1(kFiles[i]))) && ok;
    }
    CComPropertiesDlg serial(registry, messages, general_->SelectedPrinterName(), this);
    serial.adjustSize();
    ok = serial.grab().save(QDir(dir).filePath(QStringLiteral("comproperties.png"))) && ok;
    SetActivePage(0);
    return ok;
}

}  // namespace setup
