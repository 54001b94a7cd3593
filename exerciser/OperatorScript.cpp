#include "exerciser/OperatorScript.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QRegularExpression>
#include <cstdio>

#include "exerciser/ParentForm.h"
#include "opos/OposConstants.h"

namespace exerciser {

namespace {

constexpr double kDefaultSeconds = 10;
// A day: a longer limit is a typo, and QTimer takes milliseconds in an int.
constexpr double kMaxSeconds = 86400;
constexpr int kMaxLineLength = 4096;
constexpr int kMaxLines = 100000;

struct CommandShape {
    const char* name;
    int words;      // fixed words before an optional time limit; -1: one text
    bool timed;     // takes a trailing SECONDS
    bool needsArg;  // the text may not be empty
};

constexpr CommandShape kCommands[] = {
    {"select", -1, false, true},      {"trigger", 1, false, true},
    {"print", -1, false, false},      {"answer", 1, false, true},
    {"wait-status", -1, true, true},  {"wait-event", -1, true, true},
    {"wait-result", -1, true, true},  {"wait-message", -1, true, true},
    {"wait-property", 2, true, true}, {"vprinter", -1, false, true},
    {"wait-receipts", 1, true, true}, {"echo", -1, false, false},
    {"dump", 0, false, false},        {"quit", 0, false, false},
};

std::optional<CMessageBoxes::Reply> ReplyNamed(const QString& name) {
    const QString n = name.toLower();
    if (n == QLatin1String("ok"))
        return CMessageBoxes::Reply::Ok;
    if (n == QLatin1String("yes"))
        return CMessageBoxes::Reply::Yes;
    if (n == QLatin1String("no"))
        return CMessageBoxes::Reply::No;
    if (n == QLatin1String("retry"))
        return CMessageBoxes::Reply::Retry;
    if (n == QLatin1String("cancel"))
        return CMessageBoxes::Reply::Cancel;
    return std::nullopt;
}

// The caller may wait on standard output for a mark, so every line goes out at once.
void Out(const QString& line) {
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

QString Text(const std::string& s) {
    return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

bool ParseScript(const QString& text, std::vector<ScriptLine>* lines, QString* error) {
    lines->clear();
    const QStringList raw = text.split(QLatin1Char('\n'));
    if (raw.size() > kMaxLines) {
        *error = QStringLiteral("more than %1 lines").arg(kMaxLines);
        return false;
    }
    for (int i = 0; i < raw.size(); ++i) {
        const int number = i + 1;
        auto bad = [&](const QString& why) {
            *error = QStringLiteral("line %1: %2").arg(number).arg(why);
            return false;
        };
        QString line = raw[i];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.size() > kMaxLineLength)
            return bad(QStringLiteral("longer than %1 characters").arg(kMaxLineLength));
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        static const QRegularExpression kBlank(QStringLiteral("\\s"));
        static const QRegularExpression kBlanks(QStringLiteral("\\s+"));
        const qsizetype space = trimmed.indexOf(kBlank);
        ScriptLine s;
        s.number = number;
        s.seconds = kDefaultSeconds;
        s.command = space < 0 ? trimmed : trimmed.left(space);
        QString rest = space < 0 ? QString() : trimmed.mid(space + 1).trimmed();
        const CommandShape* shape = nullptr;
        for (const CommandShape& c : kCommands)
            if (s.command == QLatin1String(c.name))
                shape = &c;
        if (!shape)
            return bad(QStringLiteral("unknown command '%1'").arg(s.command));
        QStringList words = rest.split(kBlanks, Qt::SkipEmptyParts);
        if (shape->timed && !words.isEmpty()) {
            bool isNumber = false;
            const double seconds = words.last().toDouble(&isNumber);
            // A number alone is the argument itself (wait-receipts 2), not a limit.
            const int needed = shape->words < 0 ? 1 : shape->words;
            if (isNumber && words.size() > needed) {
                if (!(seconds > 0) || seconds > kMaxSeconds)
                    return bad(QStringLiteral("time limit out of range: %1").arg(words.last()));
                s.seconds = seconds;
                words.removeLast();
                rest = rest.left(rest.lastIndexOf(kBlank)).trimmed();
            }
        }
        if (shape->words < 0) {
            if (shape->needsArg && rest.isEmpty())
                return bad(QStringLiteral("%1 needs a text").arg(s.command));
            // print keeps its blanks as they were written, up to the line end.
            s.args << (s.command == QLatin1String("print") && space >= 0
                           ? line.mid(line.indexOf(QLatin1String("print")) + 6)
                           : rest);
        } else {
            if (words.size() != shape->words)
                return bad(QStringLiteral("%1 takes %2 word(s)").arg(s.command).arg(shape->words));
            s.args = words;
        }
        if (s.command == QLatin1String("answer") && !ReplyNamed(s.args[0]))
            return bad(
                QStringLiteral("unknown button '%1' (ok, yes, no, retry, cancel)").arg(s.args[0]));
        if (s.command == QLatin1String("wait-status")) {
            QStringList w = s.args[0].split(kBlanks, Qt::SkipEmptyParts);
            const QString state = w.isEmpty() ? QString() : w.takeLast();
            if (w.isEmpty() ||
                (state != QLatin1String("checked") && state != QLatin1String("unchecked")))
                return bad(QStringLiteral("wait-status takes a box and checked or unchecked"));
            s.args = QStringList{w.join(QLatin1Char(' ')), state};
        }
        if (s.command == QLatin1String("wait-receipts") ||
            s.command == QLatin1String("wait-property")) {
            bool ok = false;
            (void)s.args.last().toInt(&ok);
            if (!ok)
                return bad(QStringLiteral("not a number: %1").arg(s.args.last()));
        }
        if (s.command == QLatin1String("print")) {
            std::string bytes;
            if (!UnescapePrintText(s.args[0], &bytes))
                return bad(QStringLiteral("bad escape in the text"));
        }
        lines->push_back(std::move(s));
    }
    return true;
}

bool UnescapePrintText(const QString& text, std::string* out) {
    const QByteArray in = text.toLocal8Bit();
    out->clear();
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c != '\\') {
            out->push_back(c);
            continue;
        }
        if (++i >= in.size())
            return false;
        switch (in[i]) {
            case 'n':
                out->push_back('\n');
                break;
            case 'r':
                out->push_back('\r');
                break;
            case 't':
                out->push_back('\t');
                break;
            case 'e':
                out->push_back('\x1b');
                break;
            case '\\':
                out->push_back('\\');
                break;
            case 'x': {
                if (i + 2 >= in.size())
                    return false;
                bool ok = false;
                const int v = in.mid(i + 1, 2).toInt(&ok, 16);
                if (!ok)
                    return false;
                out->push_back(static_cast<char>(v));
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

CMessageBoxes::Reply CScriptMessageBoxes::Show(const std::string& text, const std::string& title,
                                               Icon icon, Buttons buttons) {
    shown_ << Text(text).replace(QLatin1String("\r\n"), QLatin1String(" | "));
    if (!scripted_)
        return real_.Show(text, title, icon, buttons);
    if (!started_ || quitting_) {
        std::fprintf(stderr, "PrnExerciser message: %s\n", text.c_str());
        return QuietAnswer(buttons);
    }
    if (!queued_.empty()) {
        const Reply r = queued_.front();
        queued_.pop_front();
        return r;
    }
    // The script answers from here: it goes on in this loop until an answer line.
    std::fprintf(stderr, "PrnExerciser message: %s\n", text.c_str());
    ++waiting_;
    std::optional<Reply> outer;
    outer.swap(answer_);
    QEventLoop loop;
    while (!answer_ && scripted_ && !quitting_)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    std::optional<Reply> mine;
    mine.swap(answer_);
    answer_.swap(outer);
    --waiting_;
    if (mine)
        return *mine;
    if (quitting_)
        return QuietAnswer(buttons);
    // The script ran out before answering: the operator answers.
    return real_.Show(text, title, icon, buttons);
}

std::string CScriptMessageBoxes::OpenFile(const std::string& title, const std::string& filter,
                                          const std::string& fileName, const std::string& folder) {
    if (!scripted_)
        return real_.OpenFile(title, filter, fileName, folder);
    return fileName;
}

void CScriptMessageBoxes::Answer(Reply reply) {
    if (waiting_ > 0)
        answer_ = reply;
    else
        queued_.push_back(reply);
}

OperatorScript::OperatorScript(std::vector<ScriptLine> lines, ParentForm& window,
                               CScriptMessageBoxes& messages, CScriptWorkbench* workbench,
                               QObject* parent)
    : QObject(parent),
      lines_(std::move(lines)),
      window_(window),
      messages_(messages),
      workbench_(workbench) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (waitLine_)
            Fail(*waitLine_, QStringLiteral("gave up waiting after %1 s").arg(waitLine_->seconds),
                 kScriptTimedOut);
    });
    // The control object's properties change on its own threads, with nothing to tell
    // the event loop; everything else a wait looks at changes in the event loop itself.
    propertyTimer_.setInterval(20);
    connect(&propertyTimer_, &QTimer::timeout, this, [this] { CheckWait(); });
}

OperatorScript::~OperatorScript() {
    *alive_ = false;
    QObject::disconnect(aboutToBlock_);
}

void OperatorScript::Start() {
    messages_.ScriptStarted();
    QTimer::singleShot(0, this, [this] { Next(); });
}

void OperatorScript::Next() {
    if (finished_ || waitFor_)
        return;
    if (next_ >= lines_.size()) {
        finished_ = true;
        messages_.SetScripted(false);
        return;
    }
    const ScriptLine& line = lines_[next_++];
    Run(line);
}

void OperatorScript::Fail(const ScriptLine& line, const QString& why, int exitCode) {
    std::fprintf(stderr, "PrnExerciser: script line %d (%s): %s\n", line.number,
                 qPrintable(line.command), qPrintable(why));
    finished_ = true;
    waitFor_ = nullptr;
    waitLine_ = nullptr;
    deadline_.stop();
    propertyTimer_.stop();
    QObject::disconnect(aboutToBlock_);
    messages_.Quit();
    QApplication::exit(exitCode);
}

void OperatorScript::WaitUntil(const ScriptLine& line, std::function<bool()> condition,
                               bool pollProperty) {
    if (condition()) {
        QTimer::singleShot(0, this, [this] { Next(); });
        return;
    }
    waitFor_ = std::move(condition);
    waitLine_ = &line;
    deadline_.start(static_cast<int>(line.seconds * 1000));
    if (pollProperty)
        propertyTimer_.start();
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
        aboutToBlock_ = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                                [this] { CheckWait(); });
    }
}

void OperatorScript::CheckWait() {
    if (!waitFor_ || !waitFor_())
        return;
    waitFor_ = nullptr;
    waitLine_ = nullptr;
    deadline_.stop();
    propertyTimer_.stop();
    QObject::disconnect(aboutToBlock_);
    QTimer::singleShot(0, this, [this] { Next(); });
}

bool OperatorScript::FindNewLine(const QStringList& lines, const QString& text, int* cursor) {
    // A list that was cleared starts over.
    if (*cursor > lines.size())
        *cursor = 0;
    for (int i = *cursor; i < lines.size(); ++i) {
        if (lines[i] == text) {
            *cursor = i + 1;
            return true;
        }
    }
    return false;
}

void OperatorScript::Run(const ScriptLine& line) {
    const QString& cmd = line.command;
    auto next = [this] { QTimer::singleShot(0, this, [this] { Next(); }); };

    if (cmd == QLatin1String("select")) {
        window_.Action("SelectPrinter")->trigger();
        PrinterTypeForm& panel = window_.LoadPrinterType();
        QComboBox* combo = panel.PrinterCombo();
        int index = combo->findText(line.args[0], Qt::MatchFixedString);
        if (index < 0) {
            QString part = line.args[0];
            part.remove(QLatin1Char('-'));
            for (int i = 0; i < combo->count(); ++i) {
                if (!combo->itemText(i).contains(part, Qt::CaseInsensitive))
                    continue;
                if (index >= 0)
                    return Fail(line,
                                QStringLiteral("'%1' fits more than one device").arg(line.args[0]),
                                kScriptBadLine);
                index = i;
            }
        }
        if (index < 0)
            return Fail(line, QStringLiteral("no device '%1' in the list").arg(line.args[0]),
                        kScriptBadLine);
        combo->setCurrentIndex(index);
        emit combo->activated(index);
        return next();
    }
    if (cmd == QLatin1String("trigger")) {
        const std::string name = line.args[0].toStdString();
        if (QAction* action = window_.Action(name)) {
            if (!action->isEnabled())
                return Fail(line, QStringLiteral("the menu item is disabled"), kScriptBadLine);
            // The item runs after this line is done, so that a message box it shows is
            // answered by the lines that follow.
            next();
            action->trigger();
            return;
        }
        auto* button = window_.findChild<QAbstractButton*>(line.args[0]);
        if (!button)
            return Fail(line, QStringLiteral("no menu item or button '%1'").arg(line.args[0]),
                        kScriptBadLine);
        if (!button->isEnabled())
            return Fail(line, QStringLiteral("the button is disabled"), kScriptBadLine);
        next();
        button->click();
        return;
    }
    if (cmd == QLatin1String("print")) {
        std::string data;
        (void)UnescapePrintText(line.args[0], &data);
        CGlobalModule& m = window_.Module();
        thermpos::platform::com::OutgoingArgs args;
        args.Long(m.CurrentStation).String(data);
        next();
        m.LogResult("PrintNormal", m.PrinterCO.Call("PrintNormal", args));
        return;
    }
    if (cmd == QLatin1String("answer")) {
        messages_.Answer(*ReplyNamed(line.args[0]));
        return next();
    }
    if (cmd == QLatin1String("wait-status")) {
        StatusForm& status = window_.LoadStatus();
        QCheckBox* box = nullptr;
        for (QCheckBox* b : status.findChildren<QCheckBox*>())
            if (b->objectName() == line.args[0] || b->text() == line.args[0])
                box = b;
        if (!box)
            return Fail(line, QStringLiteral("no status box '%1'").arg(line.args[0]),
                        kScriptBadLine);
        const bool want = line.args[1] == QLatin1String("checked");
        QPointer<QCheckBox> guarded = box;
        return WaitUntil(line, [guarded, want] { return guarded && guarded->isChecked() == want; });
    }
    if (cmd == QLatin1String("wait-event")) {
        return WaitUntil(line, [this, &line] {
            return window_.Events() &&
                   FindNewLine(window_.Events()->Lines(), line.args[0], &eventCursor_);
        });
    }
    if (cmd == QLatin1String("wait-result")) {
        return WaitUntil(line, [this, &line] {
            return window_.Result() &&
                   FindNewLine(window_.Result()->Lines(), line.args[0], &resultCursor_);
        });
    }
    if (cmd == QLatin1String("wait-message")) {
        return WaitUntil(line, [this, &line] {
            return FindNewLine(messages_.Shown(), line.args[0], &messageCursor_);
        });
    }
    if (cmd == QLatin1String("wait-property")) {
        const std::string name = line.args[0].toStdString();
        const LONG value = line.args[1].toInt();
        // A read that fails is a line of the result window; read on, it would be one every
        // poll.
        const int before = window_.LoadResult().ResultCodeList()->count();
        const LONG first = window_.Module().PrinterCO.GetLong(name.c_str());
        if (window_.LoadResult().ResultCodeList()->count() != before)
            return Fail(line, QStringLiteral("cannot read the property %1").arg(line.args[0]),
                        kScriptBadLine);
        if (first == value)
            return next();
        return WaitUntil(
            line,
            [this, name, value] {
                return window_.Module().PrinterCO.GetLong(name.c_str()) == value;
            },
            true);
    }
    if (cmd == QLatin1String("vprinter")) {
        if (!workbench_)
            return Fail(line, QStringLiteral("no virtual printer (start with --virtual)"),
                        kScriptBadLine);
        auto alive = alive_;
        auto answered = std::make_shared<bool>(false);
        workbench_->SendControl(line.args[0], [this, alive, &line, answered](QString reply) {
            // A wait that gave up has ended the script already.
            if (!*alive || finished_)
                return;
            *answered = true;
            if (!reply.startsWith(QLatin1String("ok")))
                Fail(line, QStringLiteral("the virtual printer answered: %1").arg(reply),
                     kScriptBadLine);
        });
        return WaitUntil(line, [answered] { return *answered; });
    }
    if (cmd == QLatin1String("wait-receipts")) {
        if (!workbench_)
            return Fail(line, QStringLiteral("no virtual printer (start with --virtual)"),
                        kScriptBadLine);
        const int count = line.args[0].toInt();
        return WaitUntil(line, [this, count] { return workbench_->ReceiptCount() >= count; });
    }
    if (cmd == QLatin1String("echo")) {
        Out(line.args[0]);
        return next();
    }
    if (cmd == QLatin1String("dump")) {
        Dump();
        return next();
    }
    if (cmd == QLatin1String("quit")) {
        finished_ = true;
        messages_.Quit();
        QApplication::exit(0);
        return;
    }
}

void OperatorScript::Dump() {
    if (ResultForm* r = window_.Result())
        for (const QString& l : r->Lines())
            Out(QStringLiteral("result: ") + l);
    if (EventForm* e = window_.Events())
        for (const QString& l : e->Lines())
            Out(QStringLiteral("event: ") + l);
    if (StatusForm* s = window_.StatusWindow())
        for (QCheckBox* b : s->findChildren<QCheckBox*>())
            Out(QStringLiteral("status: %1 %2%3")
                    .arg(b->objectName(),
                         b->isChecked() ? QStringLiteral("checked") : QStringLiteral("unchecked"),
                         b->isEnabled() ? QString() : QStringLiteral(" disabled")));
    for (const QString& m : messages_.Shown())
        Out(QStringLiteral("message: ") + m);
    if (workbench_)
        Out(QStringLiteral("receipts: %1 preview: %2")
                .arg(workbench_->ReceiptCount())
                .arg(workbench_->CurrentReceipt()));
}

}  // namespace exerciser
