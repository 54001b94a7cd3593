#include "exerciser/WorkbenchDock.h"

#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QImageReader>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QVBoxLayout>
#include <map>

namespace exerciser {

namespace {

// An answer longer than this is not one of the printer's; the socket is dropped.
constexpr qsizetype kMaxAnswer = 64 * 1024;
// Receipts listed; the oldest drop out of the list (their files stay).
constexpr int kMaxListed = 1000;
// The preview shows the receipt at this width; paper is 384 to 640 dots wide.
constexpr int kPreviewWidth = 288;

struct ControlButton {
    const char* name;
    const char* caption;
    const char* command;
    int row;
    int column;
};

constexpr ControlButton kButtons[] = {
    {"CoverOpenButton", "Cover open", "cover open", 0, 0},
    {"CoverCloseButton", "Cover close", "cover close", 0, 1},
    {"PaperNearEndButton", "Paper near end", "paper near-end", 1, 0},
    {"PaperOutButton", "Paper out", "paper out", 1, 1},
    {"PaperOkButton", "Paper OK", "paper ok", 1, 2},
    {"DrawerOpenButton", "Drawer open", "drawer open", 2, 0},
    {"DrawerCloseButton", "Drawer close", "drawer close", 2, 1},
    {"OfflineButton", "Offline", "offline", 3, 0},
    {"OnlineButton", "Online", "online", 3, 1},
    {"UnplugButton", "Unplug", "unplug", 4, 0},
    {"ReplugButton", "Replug", "replug", 4, 1},
};

const QRegularExpression& ReceiptName() {
    static const QRegularExpression re(QStringLiteral("^receipt-(\\d{4,9})\\.png$"));
    return re;
}

}  // namespace

QString StateSummary(const QString& answer) {
    if (!answer.startsWith(QLatin1String("ok ")))
        return answer;
    // "ok power: on;online: yes;cover: closed;..." -> the fields an operator acts on.
    static const char* const kShown[] = {"power", "online", "cover",
                                         "paper", "drawer", "receipts written"};
    QStringList parts;
    for (const QString& field : answer.mid(3).split(QLatin1Char(';'))) {
        const qsizetype colon = field.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        const QString name = field.left(colon).trimmed();
        for (const char* shown : kShown)
            if (name == QLatin1String(shown))
                parts << name + QLatin1Char(' ') + field.mid(colon + 1).trimmed();
    }
    return parts.isEmpty() ? answer : parts.join(QStringLiteral(" | "));
}

CPrinterControlClient::CPrinterControlClient(const QString& socketPath, QObject* parent)
    : QObject(parent), path_(socketPath), socket_(new QLocalSocket(this)) {
    connect(socket_, &QLocalSocket::connected, this, [this] { Flush(); });
    connect(socket_, &QLocalSocket::readyRead, this, [this] { ReadAnswers(); });
    connect(socket_, &QLocalSocket::errorOccurred, this, [this](QLocalSocket::LocalSocketError) {
        FailAll(QStringLiteral("error no virtual printer: ") + socket_->errorString());
    });
    connect(socket_, &QLocalSocket::disconnected, this,
            [this] { FailAll(QStringLiteral("error the virtual printer went away")); });
}

void CPrinterControlClient::Send(const QString& command, std::function<void(QString)> done) {
    pending_.push_back({command, std::move(done)});
    if (socket_->state() == QLocalSocket::UnconnectedState)
        socket_->connectToServer(path_);  // answers with connected or errorOccurred
    else
        Flush();
}

void CPrinterControlClient::Flush() {
    if (socket_->state() != QLocalSocket::ConnectedState)
        return;
    for (Pending& p : pending_) {
        if (p.sent)
            continue;
        // One command a line: a line break inside would be a second command.
        QString line = p.command;
        line.replace(QLatin1Char('\n'), QLatin1Char(' '))
            .replace(QLatin1Char('\r'), QLatin1Char(' '));
        socket_->write(line.toUtf8() + '\n');
        p.sent = true;
    }
}

void CPrinterControlClient::ReadAnswers() {
    input_ += socket_->readAll();
    qsizetype end;
    while ((end = input_.indexOf('\n')) >= 0) {
        const QString answer = QString::fromUtf8(input_.left(end));
        input_.remove(0, end + 1);
        if (pending_.empty() || !pending_.front().sent)
            continue;  // nothing asked for it
        Pending p = std::move(pending_.front());
        pending_.pop_front();
        if (p.done)
            p.done(answer);
    }
    if (input_.size() > kMaxAnswer) {
        input_.clear();
        socket_->abort();
        FailAll(QStringLiteral("error the virtual printer's answer is too long"));
    }
}

void CPrinterControlClient::FailAll(const QString& why) {
    input_.clear();
    std::deque<Pending> failed;
    failed.swap(pending_);
    if (socket_->state() != QLocalSocket::UnconnectedState)
        socket_->abort();
    for (Pending& p : failed)
        if (p.done)
            p.done(why);
}

WorkbenchDock::WorkbenchDock(const QString& receiptDir, const QString& controlPath, QWidget* parent)
    : QDockWidget(QStringLiteral("Virtual Printer"), parent),
      receiptDir_(receiptDir),
      control_(new CPrinterControlClient(controlPath, this)),
      preview_(new QLabel),
      scroll_(new QScrollArea),
      receipts_(new QListWidget),
      state_(new QLabel) {
    setObjectName(QStringLiteral("VirtualPrinterDock"));
    setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    auto* body = new QWidget(this);
    auto* layout = new QVBoxLayout(body);

    preview_->setObjectName(QStringLiteral("ReceiptPreview"));
    preview_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    preview_->setText(QStringLiteral("No receipt yet"));
    scroll_->setObjectName(QStringLiteral("ReceiptScroll"));
    scroll_->setWidget(preview_);
    scroll_->setWidgetResizable(true);
    scroll_->setMinimumWidth(kPreviewWidth + 24);
    scroll_->setBackgroundRole(QPalette::Dark);

    receipts_->setObjectName(QStringLiteral("ReceiptList"));
    connect(receipts_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item)
            Show(item->data(Qt::UserRole).toString());
    });

    receipts_->setMaximumHeight(120);
    layout->addWidget(scroll_, 1);
    layout->addWidget(receipts_);

    auto* controls = new QGroupBox(QStringLiteral("Printer"));
    controls->setObjectName(QStringLiteral("PrinterControls"));
    auto* grid = new QGridLayout(controls);
    for (const ControlButton& b : kButtons) {
        auto* button = new QPushButton(QString::fromLatin1(b.caption));
        button->setObjectName(QString::fromLatin1(b.name));
        const QString command = QString::fromLatin1(b.command);
        connect(button, &QPushButton::clicked, this, [this, command] { Command(command); });
        grid->addWidget(button, b.row, b.column);
    }
    layout->addWidget(controls);
    state_->setObjectName(QStringLiteral("PrinterState"));
    state_->setWordWrap(true);
    state_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(state_);
    setWidget(body);

    watcher_.addPath(receiptDir_);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { Rescan(); });
    Rescan();
    RefreshState();
}

void WorkbenchDock::SendControl(const QString& command, std::function<void(QString)> done) {
    control_->Send(command, std::move(done));
    // The operator sees what the script did to the printer.
    RefreshState();
}

void WorkbenchDock::RefreshState() {
    control_->Send(QStringLiteral("status"),
                   [this](QString answer) { state_->setText(StateSummary(answer)); });
}

void WorkbenchDock::Command(const QString& command) {
    SendControl(command, [this, command](QString answer) {
        if (!answer.startsWith(QLatin1String("ok")))
            state_->setText(command + QStringLiteral(": ") + answer);
    });
}

void WorkbenchDock::Rescan() {
    // The printer writes each PNG beside its name and renames it into place, so a file
    // listed under its name is complete. Numbers, not names, give the order: the names
    // grow a digit after receipt 9999.
    constexpr int kNumberRole = Qt::UserRole + 1;
    const qint64 newest =
        receipts_->count() > 0 ? receipts_->item(0)->data(kNumberRole).toLongLong() : 0;
    std::map<qint64, QString> fresh;
    for (const QString& name :
         QDir(receiptDir_).entryList({QStringLiteral("receipt-*.png")}, QDir::Files)) {
        const QRegularExpressionMatch m = ReceiptName().match(name);
        const qint64 number = m.hasMatch() ? m.captured(1).toLongLong() : 0;
        if (number > newest)
            fresh.emplace(number, QDir(receiptDir_).filePath(name));
    }
    if (fresh.empty())
        return;
    // Newest first; selecting the newest shows it.
    for (const auto& [number, path] : fresh) {
        auto* item = new QListWidgetItem(QFileInfo(path).fileName());
        item->setData(Qt::UserRole, path);
        item->setData(kNumberRole, number);
        receipts_->insertItem(0, item);
    }
    while (receipts_->count() > kMaxListed)
        delete receipts_->takeItem(receipts_->count() - 1);
    receipts_->setCurrentRow(0);
    RefreshState();
}

void WorkbenchDock::Show(const QString& path) {
    QImageReader reader(path);
    // A receipt is paper wide and as long as it printed; bound what is decoded.
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > 4096 || size.height() > 100000) {
        preview_->setText(QStringLiteral("Cannot show %1").arg(QFileInfo(path).fileName()));
        return;
    }
    reader.setScaledSize(size.scaled(kPreviewWidth, size.height(), Qt::KeepAspectRatio));
    const QImage image = reader.read();
    if (image.isNull()) {
        preview_->setText(QStringLiteral("Cannot show %1: %2")
                              .arg(QFileInfo(path).fileName(), reader.errorString()));
        return;
    }
    preview_->setPixmap(QPixmap::fromImage(image));
    current_ = path;
    scroll_->verticalScrollBar()->setValue(0);
    emit ReceiptShown(path);
}

}  // namespace exerciser
