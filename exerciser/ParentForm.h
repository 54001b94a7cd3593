// The main window: an MDI frame holding the printer control panel, the result, event and
// status windows and the cash drawer window, with the program's menus. It owns the two
// control objects and receives the printer's events on the GUI thread: the control object
// signals its event descriptor, a socket notifier calls DispatchEvents, and the handlers
// run here, so an ErrorEvent answered in a message box and a Close pressed meanwhile never
// wait on each other.
#pragma once

#include <QAction>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QSocketNotifier>
#include <map>
#include <string>

#include "exerciser/AboutForm.h"
#include "exerciser/CashDrawerForm.h"
#include "exerciser/EventForm.h"
#include "exerciser/ExerciserWindows.h"
#include "exerciser/MyGlobalModule.h"
#include "exerciser/OposObject.h"
#include "exerciser/PrintExercises.h"
#include "exerciser/PrintTextForm.h"
#include "exerciser/PrinterTypeForm.h"
#include "exerciser/ResultForm.h"
#include "exerciser/StatusForm.h"

namespace exerciser {

// 15 twips to the pixel: the placement rules are kept in twips as the windows were laid out.
constexpr int Twips(int twips) {
    return twips / 15;
}

class ParentForm : public QMainWindow,
                   public CExerciserWindows,
                   public CResultList,
                   public CPrinterEvents {
    Q_OBJECT
  public:
    // printer/drawer: the control objects already made (tests), or null to create them by
    // their ProgIDs.
    ParentForm(CMessageBoxes& messages, IDispatch* printer = nullptr, IDispatch* drawer = nullptr,
               QWidget* parent = nullptr);
    ~ParentForm() override;

    CGlobalModule& Module() { return module_; }
    QAction* Action(const std::string& name) const;

    // The windows, null when not loaded.
    PrinterTypeForm* PrinterType() const { return printerType_; }
    ResultForm* Result() const { return result_; }
    EventForm* Events() const { return events_; }
    StatusForm* StatusWindow() const { return status_; }
    CashDrawerForm* CashDrawer() const { return drawer_; }
    AboutForm* About() const { return about_; }
    PrintTextForm* PrintText() const { return printText_; }
    QMdiSubWindow* FrameOf(QWidget* form) const;

    // Loads when not loaded, and shows.
    PrinterTypeForm& LoadPrinterType();
    ResultForm& LoadResult();
    EventForm& LoadEvents();
    StatusForm& LoadStatus();
    CashDrawerForm& LoadCashDrawer();
    AboutForm& ShowAbout();
    // Loads (hidden) when not loaded.
    PrintTextForm& LoadPrintText();
    CPrintExercises& Exercises() { return exercises_; }

    // Delivers the printer's waiting events now (what the notifier does).
    int DispatchPrinterEvents();

    // CExerciserWindows
    StatusForm& Status() override { return LoadStatus(); }
    void ShowPrintText() override;
    // CResultList
    void AddResultLine(const std::string& line, bool selectLast) override;
    void ClearResults() override;
    // CPrinterEvents
    void StatusUpdateEvent(LONG data) override;
    void ErrorEvent(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                    LONG& errorResponse) override;

    // Renders the main window with each child window, and the drawer and About windows,
    // into dir as PNG files. False when a file cannot be written.
    [[nodiscard]] bool SaveScreenshots(const QString& dir);

    // True while an ErrorEvent's question waits for its answer.
    bool Asking() const { return asking_; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void BuildMenus();
    QAction* AddAction(QMenu* menu, const char* name, const char* caption);
    void Toggle(const char* item);
    QMdiSubWindow* AddChild(QWidget* form, const char* checkItem);
    void ConnectPrinterEvents();
    // The Methods menu's rotation items: the one the device took is the checked one.
    void Rotate(QAction* item, LONG rotation);
    // The status window against the bottom right corner of the client area.
    void PlaceStatus();

    CMessageBoxes& messages_;
    COposObject printerCO_;
    COposObject drawerCO_;
    CGlobalModule module_;
    QMdiArea* mdi_;
    std::map<std::string, QAction*> actions_;
    QPointer<PrinterTypeForm> printerType_;
    QPointer<ResultForm> result_;
    QPointer<EventForm> events_;
    QPointer<StatusForm> status_;
    QPointer<CashDrawerForm> drawer_;
    QPointer<AboutForm> about_;
    QPointer<PrintTextForm> printText_;
    CPrintExercises exercises_;
    CEventSink* sink_ = nullptr;  // one reference held
    QSocketNotifier* notifier_ = nullptr;
    bool closing_ = false;
    bool asking_ = false;
    bool shown_ = false;
};

}  // namespace exerciser
