#include "exerciser/ParentForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDockWidget>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QShowEvent>
#include <QThread>

#include "exerciser/EscapeSheet.h"
#include "exerciser/PropertyReport.h"
#include "exerciser/ScriptedDemos.h"
#include "opos/OposConstants.h"

namespace exerciser {

ParentForm::ParentForm(CMessageBoxes& messages, IDispatch* printer, IDispatch* drawer,
                       QWidget* parent)
    : QMainWindow(parent),
      messages_(messages),
      printerCO_("POSPrinter1", kProgId_PosPrinter),
      drawerCO_("CashDrawer1", kProgId_CashDrawer),
      module_(printerCO_, drawerCO_, messages, *this),
      mdi_(new QMdiArea(this)),
      exercises_(module_) {
    setObjectName(QStringLiteral("ParentForm"));
    setWindowTitle(QStringLiteral("POS Printer Testing Application - [Talvern Systems]"));
    mdi_->setObjectName(QStringLiteral("MDIClient"));
    mdi_->setBackground(QColor(128, 128, 128));
    setCentralWidget(mdi_);
    BuildMenus();
    resize(1000, 700);
    layout()->activate();

    // The calls made beside the GUI thread (the drawer's wait, a bitmap being stored)
    // report their failures through it as well.
    auto logFailure = [this](const std::string& line) {
        if (QThread::currentThread() == thread())
            module_.LogAutomationFailure(line);
        else
            QMetaObject::invokeMethod(
                this, [this, line] { module_.LogAutomationFailure(line); }, Qt::QueuedConnection);
    };
    printerCO_.SetFailureSink(logFailure);
    drawerCO_.SetFailureSink(logFailure);

    // The windows first, so that a control object that cannot be made is reported in a
    // result window already in its place.
    LoadPrinterType();
    // Hidden until asked for. Its start-up choice of "Dots" is made again below, once the
    // control object exists.
    LoadPrintText();
    LoadResult();
    LoadStatus();
    LoadCashDrawer();
    // The text window refills its font and character set lists whenever it comes to the
    // front, so that they are the device's as it is now.
    connect(mdi_, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* frame) {
        if (frame && frame == FrameOf(printText_))
            printText_->Form_Activate();
    });

    if (printer)
        printerCO_.Attach(printer);
    else
        (void)printerCO_.Create();
    if (drawer)
        drawerCO_.Attach(drawer);
    else
        (void)drawerCO_.Create();
    ConnectPrinterEvents();
    // The text window's start-up choice of "Dots" counts as choosing a map mode: it sets
    // the device's MapMode and its line is the first in the result list (on a closed
    // device, with its result).
    printText_->cmbMapMode_Click();
    // The drawer's events are not shown; delivered at once they are dropped instead of
    // piling up unread.
    if (drawerCO_.Exists())
        drawerCO_.SetBool("DirectEvents", true);
}

ParentForm::~ParentForm() {
    closing_ = true;
    // The windows go first, while the control objects they use still exist; the drawer
    // window closes its device as it goes.
    delete about_;
    for (QMdiSubWindow* frame : mdi_->subWindowList())
        delete frame;
    delete mdi_;
    if (notifier_)
        notifier_->setEnabled(false);
    if (sink_) {
        sink_->Detach();
        if (printerCO_.Exists())
            printerCO_.SetDispatch("EventSink", nullptr);
        sink_->Release();
    }
}

void ParentForm::ConnectPrinterEvents() {
    if (!printerCO_.Exists())
        return;
    sink_ = CEventSink::Create(this);
    if (!sink_)
        return;
    printerCO_.SetDispatch("EventSink", sink_);
    const LONG fd = printerCO_.GetLong("EventDescriptor");
    if (fd < 0)
        return;
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { DispatchPrinterEvents(); });
}

int ParentForm::DispatchPrinterEvents() {
    // Quiet while the handlers run: a message box inside one turns the event loop, and the
    // descriptor stays readable until this dispatch is over.
    if (notifier_)
        notifier_->setEnabled(false);
    const LONG delivered = printerCO_.Exists() ? printerCO_.Call("DispatchEvents") : 0;
    if (notifier_ && !closing_)
        notifier_->setEnabled(true);
    return delivered;
}

QAction* ParentForm::AddAction(QMenu* menu, const char* name, const char* caption) {
    QAction* a = menu->addAction(QString::fromLatin1(caption));
    a->setObjectName(QString::fromLatin1(name));
    actions_[name] = a;
    return a;
}

QAction* ParentForm::Action(const std::string& name) const {
    auto it = actions_.find(name);
    return it == actions_.end() ? nullptr : it->second;
}

void ParentForm::BuildMenus() {
    QMenuBar* bar = menuBar();
    QMenu* printers = bar->addMenu(QStringLiteral("&Printers"));
    printers->setObjectName(QStringLiteral("Printers"));
    connect(AddAction(printers, "SelectPrinter", "Select Printer"), &QAction::triggered, this,
            [this] {
                Action("PrinterTypeToolbar")->setChecked(true);
                LoadPrinterType();
            });
    QMenu* print = printers->addMenu(QStringLiteral("&Print"));
    print->setObjectName(QStringLiteral("Print"));
    connect(AddAction(print, "PrintText", "Formated Text and Bitmap"), &QAction::triggered, this,
            [this] { ShowPrintText(); });
    connect(AddAction(print, "PrintProperties", "POS Printer Properties"), &QAction::triggered,
            this, [this] { CPropertyReport(module_, *this).Run(); });
    connect(AddAction(print, "PrintMethods", "POS Printer Methods"), &QAction::triggered, this,
            [this] { CScriptedDemos(module_, *this).PrintMethods(); });
    connect(AddAction(print, "Characterset", "Characterset"), &QAction::triggered, this,
            [this] { CScriptedDemos(module_, *this).PrintCharacterSets(); });
    connect(AddAction(print, "BarCodePrint", "Test BarCode Printing"), &QAction::triggered, this,
            [this] { exercises_.BarCodeDemo(); });
    connect(AddAction(print, "EscSequence", "Escape Sequence"), &QAction::triggered, this,
            [this] { CEscapeSheet(module_, *this).Run(); });
    printers->addSeparator()->setObjectName(QStringLiteral("Sep1"));
    QAction* exit = AddAction(printers, "Exit", "E&xit");
    exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(exit, &QAction::triggered, this, [] { QApplication::exit(0); });

    QMenu* view = bar->addMenu(QStringLiteral("&View"));
    view->setObjectName(QStringLiteral("View"));
    for (auto [name, caption, checked] : {std::tuple{"SelectCashDrawer", "SelectCashDrawer", true},
                                          {"ResultToolbar", "Result Toolbar", true},
                                          {"StatusToolbar", "Status Toolbar", true},
                                          {"EventToolbar", "Event Toolbar", false},
                                          {"PrinterTypeToolbar", "Printer Control Panel", true}}) {
        QAction* a = AddAction(view, name, caption);
        a->setCheckable(true);
        a->setChecked(checked);
        const char* item = name;
        // The check mark is inverted by the click itself.
        connect(a, &QAction::triggered, this, [this, item] { Toggle(item); });
    }
    connect(AddAction(view, "ClearEvents", "Clear Events"), &QAction::triggered, this, [this] {
        if (events_)
            events_->EventCodeList()->clear();
    });
    connect(AddAction(view, "ClearResultCode", "Clear Result Codes "), &QAction::triggered, this,
            [this] { ClearResults(); });

    QMenu* properties = bar->addMenu(QStringLiteral("P&roperties"));
    properties->setObjectName(QStringLiteral("Properties"));
    AddAction(properties, "PropertySheet", "Property Sheet")->setEnabled(false);

    QMenu* methods = bar->addMenu(QStringLiteral("&Methods"));
    methods->setObjectName(QStringLiteral("Methods"));
    AddAction(methods, "MarkFeed", "MarkFeed")->setEnabled(false);
    connect(AddAction(methods, "PrintBitmapButton", "Print Bitmap"), &QAction::triggered, this,
            [this] { exercises_.PrintBitmap(); });
    QMenu* rotation = methods->addMenu(QStringLiteral("Set Rotation"));
    rotation->setObjectName(QStringLiteral("SetRotation"));
    for (auto [name, caption, code] : {std::tuple{"Normal", "Normal", kRotateNormal},
                                       {"Left90", "90 Left", kRotateLeft90},
                                       {"Right90", "90 Right", kRotateRight90},
                                       {"Rotate180", "180 Rotation", kRotate180}}) {
        QAction* a = AddAction(rotation, name, caption);
        a->setCheckable(true);
        a->setChecked(std::string(name) == "Normal");
        const LONG rp = code;
        connect(a, &QAction::triggered, this, [this, a, rp] { Rotate(a, rp); });
    }
    QAction* transaction = AddAction(methods, "SetTransactionPrinting", "Set Transaction Printing");
    transaction->setCheckable(true);
    connect(transaction, &QAction::triggered, this, [this, transaction](bool checked) {
        // The click has turned the mark already; the device's answer decides it.
        transaction->setChecked(exercises_.TransactionPrint(!checked));
    });
    connect(AddAction(methods, "FeedLine", "Feed Line"), &QAction::triggered, this,
            [this] { exercises_.FeedLine(); });
    connect(AddAction(methods, "PaperParCut", "Paper Partial Cut"), &QAction::triggered, this,
            [this] { exercises_.PaperPartialCut(); });
    connect(AddAction(methods, "PaperCut", "Paper Full Cut"), &QAction::triggered, this,
            [this] { exercises_.PaperFullCut(); });
    connect(AddAction(methods, "PaperFeednCut", "Paper Feed and Cut"), &QAction::triggered, this,
            [this] { exercises_.PaperFeedAndCut(); });

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("Help"));
    connect(AddAction(help, "AboutUS", "About Us"), &QAction::triggered, this,
            [this] { ShowAbout(); });
}

void ParentForm::Rotate(QAction* item, LONG rotation) {
    // The click has turned the item's mark; the marks change only when the device takes it.
    item->setChecked(!item->isChecked());
    if (!exercises_.RotatePrint(rotation))
        return;
    for (const char* name : {"Normal", "Left90", "Right90", "Rotate180"})
        Action(name)->setChecked(Action(name) == item);
}

void ParentForm::Toggle(const char* item) {
    const std::string name = item;
    const bool show = Action(name)->isChecked();
    QWidget* form = nullptr;
    if (name == "EventToolbar")
        form = show ? &LoadEvents() : events_.data();
    else if (name == "ResultToolbar")
        form = show ? &LoadResult() : result_.data();
    else if (name == "StatusToolbar")
        form = show ? static_cast<QWidget*>(&LoadStatus()) : status_.data();
    else if (name == "PrinterTypeToolbar")
        form = show ? static_cast<QWidget*>(&LoadPrinterType()) : printerType_.data();
    else if (name == "SelectCashDrawer")
        form = show ? static_cast<QWidget*>(&LoadCashDrawer()) : drawer_.data();
    if (QMdiSubWindow* frame = FrameOf(form))
        frame->setVisible(show);
}

QMdiSubWindow* ParentForm::FrameOf(QWidget* form) const {
    return form ? qobject_cast<QMdiSubWindow*>(form->parentWidget()) : nullptr;
}

QMdiSubWindow* ParentForm::AddChild(QWidget* form, const char* checkItem) {
    const QSize size = form->size();
    QMdiSubWindow* frame = mdi_->addSubWindow(form);
    frame->setAttribute(Qt::WA_DeleteOnClose);
    frame->setWindowIcon(QIcon());
    frame->resize(frame->sizeHint().expandedTo(size + QSize(12, 34)));
    // The operator closing a window unloads it: its View item loses the check mark.
    if (checkItem) {
        const std::string item = checkItem;
        connect(form, &QObject::destroyed, this, [this, item] {
            if (!closing_)
                Action(item)->setChecked(false);
        });
    }
    frame->show();
    return frame;
}

PrinterTypeForm& ParentForm::LoadPrinterType() {
    if (!printerType_) {
        printerType_ = new PrinterTypeForm(module_, *this);
        QMdiSubWindow* frame = AddChild(printerType_, "PrinterTypeToolbar");
        frame->move(0, frame->y());
    }
    if (QMdiSubWindow* frame = FrameOf(printerType_))
        frame->show();
    return *printerType_;
}

ResultForm& ParentForm::LoadResult() {
    if (!result_) {
        result_ = new ResultForm;
        QMdiSubWindow* frame = AddChild(result_, "ResultToolbar");
        const QMdiSubWindow* panel = FrameOf(printerType_);
        frame->move(0, Twips(50) + (panel ? panel->height() : 0));
    }
    return *result_;
}

EventForm& ParentForm::LoadEvents() {
    if (!events_) {
        events_ = new EventForm;
        QMdiSubWindow* frame = AddChild(events_, "EventToolbar");
        const QMdiSubWindow* panel = FrameOf(printerType_);
        const QMdiSubWindow* results = FrameOf(result_);
        frame->move(results ? results->width() : 0, Twips(50) + (panel ? panel->height() : 0));
    }
    return *events_;
}

StatusForm& ParentForm::LoadStatus() {
    if (!status_) {
        status_ = new StatusForm;
        AddChild(status_, "StatusToolbar");
        PlaceStatus();
    }
    return *status_;
}

void ParentForm::PlaceStatus() {
    QMdiSubWindow* frame = FrameOf(status_);
    if (!frame)
        return;
    // The bottom right corner of the client area stands for the screen's.
    const QSize client = mdi_->viewport()->size();
    frame->move(client.width() - (frame->width() + Twips(50)),
                client.height() - frame->height() * 5 / 4);
}

void ParentForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The window is built at one size and shown at another (the workbench's, with its
    // dock): the status window loaded meanwhile takes its place in the client area it
    // appears in. Nobody can have moved it yet.
    if (!shown_ && !event->spontaneous()) {
        shown_ = true;
        PlaceStatus();
    }
}

CashDrawerForm& ParentForm::LoadCashDrawer() {
    if (!drawer_) {
        drawer_ = new CashDrawerForm(module_);
        QMdiSubWindow* frame = AddChild(drawer_, "SelectCashDrawer");
        const QMdiSubWindow* panel = FrameOf(printerType_);
        const QMdiSubWindow* results = FrameOf(result_);
        frame->move(Twips(5) + (results ? results->width() : 0),
                    Twips(50) + (panel ? panel->height() : 0));
    }
    return *drawer_;
}

AboutForm& ParentForm::ShowAbout() {
    if (!about_) {
        about_ = new AboutForm(messages_, this);
        about_->setAttribute(Qt::WA_DeleteOnClose);
    }
    about_->show();
    about_->raise();
    return *about_;
}

PrintTextForm& ParentForm::LoadPrintText() {
    if (!printText_) {
        printText_ = new PrintTextForm(module_);
        QMdiSubWindow* frame = AddChild(printText_, nullptr);
        const QMdiSubWindow* panel = FrameOf(printerType_);
        frame->move(Twips(50) + (panel ? panel->width() : 0), Twips(50));
        frame->hide();
    }
    return *printText_;
}

void ParentForm::ShowPrintText() {
    QMdiSubWindow* frame = FrameOf(&LoadPrintText());
    frame->show();
    mdi_->setActiveSubWindow(frame);
}

void ParentForm::AddResultLine(const std::string& line, bool selectLast) {
    LoadResult().AddLine(QString::fromStdString(line), selectLast);
}

void ParentForm::ClearResults() {
    if (result_)
        result_->ResultCodeList()->clear();
}

void ParentForm::StatusUpdateEvent(LONG data) {
    const StatusUpdateRule rule = StatusUpdateFor(data);
    LoadEvents().AddLine(QString::fromStdString(rule.text));
    LoadStatus().Apply(rule);
}

void ParentForm::ErrorEvent(LONG resultCode, LONG resultCodeExtended, LONG, LONG& errorResponse) {
    // The question is modal to the child windows and the menus, not to the rest of the
    // frame: the workbench's dock stays usable, so the operator can put the printer right
    // (close its cover) before answering Retry.
    std::vector<std::pair<QAction*, bool>> actions;
    for (const auto& [name, action] : actions_) {
        actions.emplace_back(action, action->isEnabled());
        action->setEnabled(false);  // their shortcuts too
    }
    const bool mdiEnabled = mdi_->isEnabled();
    const bool menusEnabled = menuBar()->isEnabled();
    mdi_->setEnabled(false);
    menuBar()->setEnabled(false);
    asking_ = true;
    const auto reply =
        messages_.ShowModeless(ErrorEventMessage(resultCode, resultCodeExtended), "",
                               CMessageBoxes::Icon::Question, CMessageBoxes::Buttons::RetryCancel);
    asking_ = false;
    menuBar()->setEnabled(menusEnabled);
    mdi_->setEnabled(mdiEnabled);
    for (const auto& [action, enabled] : actions)
        action->setEnabled(enabled);
    errorResponse = reply == CMessageBoxes::Reply::Cancel ? OPOS_ER_CLEAR : OPOS_ER_RETRY;
}

void ParentForm::closeEvent(QCloseEvent* event) {
    // The question's answer is awaited inside the control object's event delivery;
    // the window stays until it is given, as under a modal box.
    if (asking_) {
        event->ignore();
        return;
    }
    (void)printerCO_.Call("Close");
    event->accept();
}

bool ParentForm::SaveScreenshots(const QString& dir) {
    if (!QDir().mkpath(dir))
        return false;
    bool ok = true;
    auto save = [&](QWidget* w, const char* file) {
        QApplication::processEvents();
        ok = w->grab().save(QDir(dir).filePath(QString::fromLatin1(file))) && ok;
    };
    // The main window as the program starts, then with each child window in front.
    LoadPrinterType();
    LoadResult();
    LoadStatus();
    LoadCashDrawer();
    mdi_->setActiveSubWindow(FrameOf(printerType_));
    save(this, "ParentForm.png");
    LoadEvents();
    const std::pair<QWidget*, const char*> children[] = {
        {printerType_, "ParentForm-PrinterTypeForm.png"},
        {result_, "ParentForm-ResultForm.png"},
        {events_, "ParentForm-EventForm.png"},
        {status_, "ParentForm-StatusForm.png"},
        {drawer_, "ParentForm-CashDrawerForm.png"},
    };
    for (const auto& [form, file] : children) {
        mdi_->setActiveSubWindow(FrameOf(form));
        save(this, file);
    }
    ShowPrintText();
    save(this, "ParentForm-PrintTextForm.png");
    save(drawer_, "CashDrawerForm.png");
    if (auto* dock = findChild<QDockWidget*>(QStringLiteral("VirtualPrinterDock")))
        save(dock, "VirtualPrinterDock.png");
    AboutForm& about = ShowAbout();
    save(&about, "AboutForm.png");
    about.close();
    return ok;
}

}  // namespace exerciser
