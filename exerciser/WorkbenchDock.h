// The "Virtual Printer" dock of PrnExerciser --virtual: the newest receipt the virtual
// printer cut, the earlier ones to look at, and buttons that change the printer's cover,
// paper, drawer and link through its control socket, so that every error the exercises
// handle can be provoked without hardware.
//
// All of it lives on the GUI thread: the receipt folder is watched (QFileSystemWatcher),
// and the control socket is a QLocalSocket whose answers arrive as signals; nothing waits.
#pragma once

#include <QDockWidget>
#include <QFileSystemWatcher>
#include <QLabel>
#include <QListWidget>
#include <QLocalSocket>
#include <QPointer>
#include <QScrollArea>
#include <deque>
#include <functional>

#include "exerciser/OperatorScript.h"

namespace exerciser {

// One command line out, one answer line back, in order. Commands sent while the socket
// connects wait for it; when it cannot be reached or drops, every command waiting gets
// an "error ..." answer and the next command connects again.
class CPrinterControlClient : public QObject {
    Q_OBJECT
  public:
    explicit CPrinterControlClient(const QString& socketPath, QObject* parent = nullptr);
    void Send(const QString& command, std::function<void(QString)> done);

  private:
    void Flush();
    void ReadAnswers();
    void FailAll(const QString& why);

    QString path_;
    QLocalSocket* socket_;
    struct Pending {
        QString command;
        std::function<void(QString)> done;
        bool sent = false;
    };
    std::deque<Pending> pending_;
    QByteArray input_;
};

// The printer's "status" answer cut to what an operator acts on ("power on | online yes
// | cover open | ..."); any other answer as it is.
QString StateSummary(const QString& answer);

class WorkbenchDock : public QDockWidget, public CScriptWorkbench {
    Q_OBJECT
  public:
    WorkbenchDock(const QString& receiptDir, const QString& controlPath, QWidget* parent = nullptr);

    // CScriptWorkbench
    void SendControl(const QString& command, std::function<void(QString)> done) override;
    int ReceiptCount() const override { return receipts_->count(); }
    QString CurrentReceipt() const override { return current_; }

    QListWidget* Receipts() const { return receipts_; }
    QLabel* Preview() const { return preview_; }
    QLabel* PrinterState() const { return state_; }

    // Looks at the receipt folder again; a new newest receipt is shown.
    void Rescan();

  signals:
    void ReceiptShown(const QString& path);

  private:
    void Show(const QString& path);
    void RefreshState();
    void Command(const QString& command);

    QString receiptDir_;
    CPrinterControlClient* control_;
    QFileSystemWatcher watcher_;
    QLabel* preview_;
    QScrollArea* scroll_;
    QListWidget* receipts_;
    QLabel* state_;
    QString current_;
};

}  // namespace exerciser
