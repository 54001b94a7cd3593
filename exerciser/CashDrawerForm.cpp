// Threads: the GUI thread runs the window. WaitForDrawerClose blocks until the drawer is
// closed, so it runs on a waiter thread that CDrawerWaiter starts and joins; that thread
// only makes the one call on the drawer's control object and posts the result back to the
// GUI thread. No lock is shared: the result travels in the queued call. Unload closes the
// drawer device first, which ends a wait in progress, and then joins the thread.
#include "exerciser/CashDrawerForm.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QVBoxLayout>
#include <thread>

#include "gui/Widgets.h"
#include "opos/OposConstants.h"

namespace exerciser {

class CDrawerWaiter {
  public:
    CDrawerWaiter(COposObject& drawer, CashDrawerForm* form, void (CashDrawerForm::*done)(LONG))
        : thread_([&drawer, form, done] {
              thermpos::platform::com::OutgoingArgs args;
              args.Short(0).Short(0).Short(0).Short(0);
              const LONG result = drawer.Call("WaitForDrawerClose", args);
              QMetaObject::invokeMethod(
                  form, [form, done, result] { (form->*done)(result); }, Qt::QueuedConnection);
          }) {}
    ~CDrawerWaiter() { Join(); }
    void Join() {
        if (thread_.joinable())
            thread_.join();
    }

  private:
    std::thread thread_;
};

using thermpos::gui::NamedButton;

CashDrawerForm::CashDrawerForm(CGlobalModule& module, QWidget* parent)
    : QWidget(parent), module_(module) {
    setObjectName(QStringLiteral("CashDrawerForm"));
    setWindowTitle(QStringLiteral("CashDrawer Control Panel"));
    auto* label = new QLabel(QStringLiteral("Select POS CashDrawer:"), this);
    label->setObjectName(QStringLiteral("Label1"));
    combo_ = new QComboBox(this);
    combo_->setObjectName(QStringLiteral("DrawerCombo"));
    combo_->setMinimumWidth(170);

    auto* frame = new QGroupBox(this);
    frame->setObjectName(QStringLiteral("Frame1"));
    QPushButton* open = NamedButton("OpenDrawerButton", "Open", frame);
    QPushButton* enable = NamedButton("EnableDrawerButton", "Device Enabled(TRUE)", frame);
    QPushButton* disable = NamedButton("DisableDrawerButton", "Device Enable(False)", frame);
    QPushButton* close = NamedButton("CloseDrawerButton", "Close", frame);
    wait_ = NamedButton("WaitforCloseDrawerButton", "WaitforCloseDrawer", frame);
    QPushButton* fire = NamedButton("OpenCashDrawerButton", "OpenDrawer", frame);
    auto* grid = new QGridLayout(frame);
    grid->addWidget(open, 0, 0);
    grid->addWidget(close, 0, 1);
    grid->addWidget(enable, 1, 0);
    grid->addWidget(disable, 1, 1);
    grid->addWidget(fire, 2, 0);
    grid->addWidget(wait_, 2, 1);

    auto* top = new QHBoxLayout;
    top->addWidget(label);
    top->addWidget(combo_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(frame);

    connect(combo_, &QComboBox::activated, this, &CashDrawerForm::DrawerCombo_Click);
    connect(open, &QPushButton::clicked, this, &CashDrawerForm::OpenDrawerButton_Click);
    connect(enable, &QPushButton::clicked, this, &CashDrawerForm::EnableDrawerButton_Click);
    connect(disable, &QPushButton::clicked, this, &CashDrawerForm::DisableDrawerButton_Click);
    connect(close, &QPushButton::clicked, this, &CashDrawerForm::CloseDrawerButton_Click);
    connect(fire, &QPushButton::clicked, this, &CashDrawerForm::OpenCashDrawerButton_Click);
    connect(wait_, &QPushButton::clicked, this, &CashDrawerForm::WaitforCloseDrawerButton_Click);

    std::vector<std::string> names;
    if (!ListDevices("CashDrawer", names)) {
        module_.Messages().Show(kRegistryProblem, "", CMessageBoxes::Icon::None,
                                CMessageBoxes::Buttons::Ok);
    } else {
        for (const std::string& name : names)
            combo_->addItem(QString::fromStdString(name));
    }
    resize(360, 170);
}

CashDrawerForm::~CashDrawerForm() {
    Unload();
}

void CashDrawerForm::Unload() {
    if (unloaded_)
        return;
    unloaded_ = true;
    (void)module_.DrawerCO.Call("Close");
    if (waiter_)
        waiter_->Join();
}

void CashDrawerForm::DrawerCombo_Click(int index) {
    if (index >= 0 && index < combo_->count())
        selected_ = combo_->itemText(index).toStdString();
}

void CashDrawerForm::OpenDrawerButton_Click() {
    if (selected_.empty()) {
        module_.Messages().Show("Select the CashDrawer from 'Select CashDrawer' Menu",
                                "Select CashDrawer", CMessageBoxes::Icon::Critical,
                                CMessageBoxes::Buttons::Ok);
        return;
    }
    thermpos::platform::com::OutgoingArgs args;
    args.String(selected_);
    module_.ViewResultCodeforDrawer("Open", module_.DrawerCO.Call("Open", args));
}

void CashDrawerForm::EnableDrawerButton_Click() {
    module_.DrawerCO.SetBool("DeviceEnabled", true);
    module_.ViewResultCodeforDrawer("DeviceEnable=TRUE", module_.DrawerCO.GetLong("ResultCode"));
}

void CashDrawerForm::DisableDrawerButton_Click() {
    module_.DrawerCO.SetBool("DeviceEnabled", false);
    module_.ViewResultCodeforDrawer("DeviceEnable=FALSE", module_.DrawerCO.GetLong("ResultCode"));
}

void CashDrawerForm::CloseDrawerButton_Click() {
    module_.ViewResultCodeforDrawer("Close", module_.DrawerCO.Call("Close"));
}

void CashDrawerForm::OpenCashDrawerButton_Click() {
    module_.ViewResultCodeforDrawer("OpenDrawer", module_.DrawerCO.Call("OpenDrawer"));
}

void CashDrawerForm::WaitforCloseDrawerButton_Click() {
    // One wait at a time; a press during a wait is already answered by the running one.
    if (waiting_ || unloaded_)
        return;
    if (waiter_)
        waiter_->Join();
    waiting_ = true;
    waiter_ = std::make_unique<CDrawerWaiter>(module_.DrawerCO, this, &CashDrawerForm::OnWaitDone);
}

bool CashDrawerForm::Waiting() const {
    return waiting_;
}

void CashDrawerForm::OnWaitDone(LONG result) {
    waiting_ = false;
    if (!unloaded_)
        module_.ViewResultCodeforDrawer("WaitforCloseDrawer", result);
    emit WaitFinished(result);
}

}  // namespace exerciser
