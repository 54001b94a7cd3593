// The virtual printer workbench's set-up (PrnExerciser --virtual FOLDER): a private
// registry and lock folder in FOLDER for this process, the control objects and ThermSO
// registered there, the logical devices installed with the RT-K410 printer and its two
// drawers on the virtual printer's port, and the virtual printer itself
// (thermpos-vprinter) as a child process on a pty entered in the Ports map.
//
// Everything runs on the GUI thread before the main window (and with it the control
// objects) exists; the child's start is awaited there, with a limit, because nothing can
// be shown before it is up. The child is stopped and reaped by Stop or the destructor,
// and dies with this process if that ends without either.
#pragma once

#include <QProcess>
#include <QString>

namespace exerciser {

// The device name the virtual printer is mapped to in the private Ports map.
inline constexpr char kWorkbenchPort[] = "COM9";

class CWorkbenchSetup {
  public:
    CWorkbenchSetup() = default;
    ~CWorkbenchSetup();  // Stop()
    CWorkbenchSetup(const CWorkbenchSetup&) = delete;
    CWorkbenchSetup& operator=(const CWorkbenchSetup&) = delete;

    // Prepares FOLDER and starts the virtual printer. FOLDER is made private (0700) when
    // it is missing; an existing one must be this user's own and writable by nobody else,
    // since the libraries this process loads are named in its registry. False with
    // *error when any step fails; the printer is not left running then.
    [[nodiscard]] bool Start(const QString& folder, QString* error);
    // Ends the virtual printer (it finishes the receipt in progress) and reaps it.
    void Stop();

    QString Folder() const { return folder_; }
    // FOLDER/receipts/<date-time>: this session's receipts.
    QString ReceiptDir() const;
    QString ControlPath() const;
    QString RegistryPath() const;

  private:
    [[nodiscard]] bool RegisterServers(QString* error);
    [[nodiscard]] bool InstallDevices(QString* error);
    [[nodiscard]] bool StartPrinter(QString* error);

    QString folder_;
    QString receiptDir_;
    QProcess printer_;
};

// A program beside this one (the build tree's sibling folders too), else on PATH.
// Empty when there is none.
QString FindCompanionProgram(const QString& name, const QString& buildFolder);

}  // namespace exerciser
