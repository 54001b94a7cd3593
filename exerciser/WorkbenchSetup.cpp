#include "exerciser/WorkbenchSetup.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/activation.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/regkey.h"

namespace exerciser {

namespace {

// Starting the printer, or a tool, takes well under a second; a loaded machine gets more.
constexpr int kStartLimitMs = 20000;
constexpr int kStopLimitMs = 10000;
// sun_path holds 108 bytes with the terminating zero.
constexpr qsizetype kMaxSocketPath = 107;

constexpr const char* kWorkbenchDevices[] = {"POSPrinter\\RTK410.TALVERN.POSPrinter",
                                             "CashDrawer\\RTK410.TALVERN.CD1",
                                             "CashDrawer\\RTK410.TALVERN.CD2"};

QString ExistingFile(const QStringList& candidates) {
    for (const QString& c : candidates) {
        const QFileInfo info(c);
        if (info.exists() && info.isFile())
            return info.canonicalFilePath();
    }
    return QString();
}

// The control objects' and ThermSO's libraries: beside an installed program, or in the
// build tree's folders. THERMPOS_THERMSO names ThermSO as for `thermpos demo`.
QString FindLibrary(const char* fileName, const char* buildFolder, const char* envName) {
    if (envName) {
        const QString env = qEnvironmentVariable(envName);
        if (!env.isEmpty())
            return ExistingFile({env});
    }
    const QDir here(QCoreApplication::applicationDirPath());
    const QString name = QString::fromLatin1(fileName);
    return ExistingFile({here.filePath(QStringLiteral("../%1/%2").arg(buildFolder, name)),
                         here.filePath(QStringLiteral("../" THERMPOS_INSTALL_LIBDIR "/") + name),
                         here.filePath(QStringLiteral("../lib/") + name)});
}

QString Output(QProcess& p) {
    return QString::fromLocal8Bit(p.readAllStandardError() + p.readAllStandardOutput()).trimmed();
}

}  // namespace

QString FindCompanionProgram(const QString& name, const QString& buildFolder) {
    const QDir here(QCoreApplication::applicationDirPath());
    const QString found = ExistingFile(
        {here.filePath(name), here.filePath(QStringLiteral("../%1/%2").arg(buildFolder, name))});
    return found.isEmpty() ? QStandardPaths::findExecutable(name) : found;
}

CWorkbenchSetup::~CWorkbenchSetup() {
    Stop();
}

QString CWorkbenchSetup::ReceiptDir() const {
    return receiptDir_;
}

QString CWorkbenchSetup::ControlPath() const {
    return QDir(folder_).filePath(QStringLiteral("printer.ctl"));
}

QString CWorkbenchSetup::RegistryPath() const {
    return QDir(folder_).filePath(QStringLiteral("registry.reg"));
}

bool CWorkbenchSetup::Start(const QString& folder, QString* error) {
    if (folder.isEmpty()) {
        *error = QStringLiteral("no folder given for the virtual printer");
        return false;
    }
    QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("receipts")) || !dir.mkpath(QStringLiteral("locks"))) {
        *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    folder_ = dir.canonicalPath();
    // A folder of its own for each session: the printer numbers its receipts from 1 again,
    // and an earlier session's files are neither overwritten nor taken for new ones.
    const QString session =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    receiptDir_ = QDir(folder_).filePath(QStringLiteral("receipts/") + session);
    if (!QDir().mkpath(receiptDir_)) {
        *error = QStringLiteral("cannot create the folder %1").arg(receiptDir_);
        return false;
    }
    if (ControlPath().toLocal8Bit().size() > kMaxSocketPath) {
        *error =
            QStringLiteral("the folder's path is too long for the control socket: %1").arg(folder_);
        return false;
    }
    // Before any registry access of this process, and inherited by the tool and the
    // printer: nothing below touches the system's registry or lock folder.
    qputenv("THERMPOS_REGISTRY", RegistryPath().toLocal8Bit());
    qputenv("THERMPOS_LOCK_DIR", dir.filePath(QStringLiteral("locks")).toLocal8Bit());
    if (!RegisterServers(error) || !InstallDevices(error) || !StartPrinter(error)) {
        Stop();
        return false;
    }
    return true;
}

bool CWorkbenchSetup::RegisterServers(QString* error) {
    const std::pair<const char*, QString> servers[] = {
        {"ThermSO", FindLibrary("libThermSO.so", "so", "THERMPOS_THERMSO")},
        {"the control objects", FindLibrary("libthermpos-opos.so.1", "opos", nullptr)},
    };
    for (const auto& [what, path] : servers) {
        if (path.isEmpty()) {
            *error = QStringLiteral("cannot find the library of %1").arg(QString::fromLatin1(what));
            return false;
        }
        std::string why;
        const HRESULT hr =
            thermpos::platform::com::CallServerRegistration(path.toStdString(), false, &why);
        if (FAILED(hr)) {
            *error = QStringLiteral("cannot register %1 (%2): 0x%3 %4")
                         .arg(QString::fromLatin1(what), path)
                         .arg(static_cast<unsigned>(hr), 8, 16, QLatin1Char('0'))
                         .arg(QString::fromStdString(why));
            return false;
        }
    }
    return true;
}

bool CWorkbenchSetup::InstallDevices(QString* error) {
    const QString tool = FindCompanionProgram(QStringLiteral("thermpos"), QStringLiteral("tools"));
    if (tool.isEmpty()) {
        *error = QStringLiteral("cannot find the thermpos program");
        return false;
    }
    // Values an operator changed in this folder's registry stay; the workbench's own
    // devices are pointed at its printer below.
    QProcess install;
    install.start(tool, {QStringLiteral("install-devices"), QStringLiteral("--port"),
                         QString::fromLatin1(kWorkbenchPort)});
    if (!install.waitForFinished(kStartLimitMs) || install.exitStatus() != QProcess::NormalExit ||
        install.exitCode() != 0) {
        install.kill();
        install.waitForFinished(kStopLimitMs);
        *error = QStringLiteral("thermpos install-devices failed: %1").arg(Output(install));
        return false;
    }
    for (const char* device : kWorkbenchDevices) {
        const std::string path = std::string("SOFTWARE\\OLEforRetail\\ServiceOPOS\\") + device;
        thermpos::platform::registry::KeyHolder key;
        LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, key.Out(), nullptr);
        if (r == ERROR_SUCCESS)
            r = RegSetValueExA(key.Get(), "Port", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(kWorkbenchPort),
                               sizeof kWorkbenchPort);
        if (r != ERROR_SUCCESS) {
            *error = QStringLiteral("cannot set the port of %1: registry error %2")
                         .arg(QString::fromLatin1(device))
                         .arg(r);
            return false;
        }
    }
    return true;
}

bool CWorkbenchSetup::StartPrinter(QString* error) {
    const QString program =
        FindCompanionProgram(QStringLiteral("thermpos-vprinter"), QStringLiteral("vprinter"));
    if (program.isEmpty()) {
        *error = QStringLiteral("cannot find the thermpos-vprinter program");
        return false;
    }
    const QDir dir(folder_);
    printer_.setProgram(program);
    printer_.setArguments({QStringLiteral("--link"), dir.filePath(QStringLiteral("printer")),
                           QStringLiteral("--map"), QString::fromLatin1(kWorkbenchPort),
                           QStringLiteral("--out"), ReceiptDir(), QStringLiteral("--control"),
                           ControlPath()});
    printer_.setProcessChannelMode(QProcess::SeparateChannels);
    // The printer goes when this process goes, whichever way it ends.
    printer_.setChildProcessModifier([] { thermpos::platform::EndWithParent(); });
    printer_.start();
    if (!printer_.waitForStarted(kStartLimitMs)) {
        *error = QStringLiteral("cannot start %1: %2").arg(program, printer_.errorString());
        return false;
    }
    // Its first line is the device path, printed once the pty, link, map entry and control
    // socket are all in place.
    const QDeadlineTimer limit(kStartLimitMs);
    while (!printer_.canReadLine()) {
        if (printer_.state() != QProcess::Running || limit.hasExpired() ||
            !printer_.waitForReadyRead(static_cast<int>(limit.remainingTime()))) {
            if (printer_.state() != QProcess::Running)
                printer_.waitForFinished(kStopLimitMs);
            *error = QStringLiteral("the virtual printer did not start: %1").arg(Output(printer_));
            return false;
        }
    }
    (void)printer_.readLine();
    return true;
}

void CWorkbenchSetup::Stop() {
    if (printer_.state() == QProcess::NotRunning)
        return;
    // SIGTERM: it writes the receipt in progress, removes its link and map entry.
    printer_.terminate();
    if (!printer_.waitForFinished(kStopLimitMs)) {
        printer_.kill();
        printer_.waitForFinished(kStopLimitMs);
    }
}

}  // namespace exerciser
