// Operator scripts: a line-based list of what an operator does at the main window, run on
// the GUI thread once the program has started (PrnExerciser --script FILE, or - for
// standard input). Repeatable sessions for operators, and the way tests drive the real
// program in a process of its own.
//
//   # comment                        blank lines and lines starting with # are skipped
//   select NAME                      Printers > Select Printer, then NAME in the device list
//                                    (a full name, or a part of one that fits one entry,
//                                    dashes ignored: "RT-K410")
//   trigger OBJECT                   a menu item or button by object name (Open's is
//                                    OpenPrinterButton, the Exit item's Exit)
//   print TEXT                       PrintNormal of TEXT on the current station, logged as
//                                    the print window does; \n \r \t \e (ESC) \\ \xHH
//   answer ok|yes|no|retry|cancel    the answer to the message box on screen, or else to
//                                    the next one; while a box waits for its answer the
//                                    script goes on, and after answering it the script
//                                    goes on once the box has closed
//   wait-status BOX checked|unchecked [SECONDS]    BOX: object name or caption
//   wait-event TEXT [SECONDS]        a new line of the event list equal to TEXT
//   wait-result TEXT [SECONDS]       a new line of the result list equal to TEXT
//   wait-message TEXT [SECONDS]      a new message box showing TEXT (its line breaks
//                                    written " | ")
//   wait-property NAME VALUE [SECONDS]   a number property of the printer control object
//   vprinter COMMAND                 a control command to the virtual printer (--virtual);
//                                    an "error" answer stops the script
//   wait-receipts COUNT [SECONDS]    the workbench lists COUNT receipts (--virtual)
//   echo TEXT                        TEXT on standard output at once (a mark for a caller)
//   dump                             result list, event list, status boxes, messages and the
//                                    workbench preview on standard output
//   quit                             ends the program (exit code 0)
//
// "New" lines are those after the last line a wait of the same kind matched. A wait gives
// up after SECONDS (default 10). A line that cannot be run ends the program with exit
// code 2 and names the line on standard error; a wait that gives up ends it with 3. When
// the script runs out without quit the program stays open for the operator.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exerciser/MessageBoxes.h"

namespace exerciser {

class ParentForm;

inline constexpr int kScriptBadLine = 2;
inline constexpr int kScriptTimedOut = 3;

struct ScriptLine {
    int number = 0;    // in the file, from 1
    QString command;   // "select", "trigger", ...
    QStringList args;  // words; for commands taking a text, the text is args[0]
    double seconds = 10;
};

// Parses a whole script. False with *error ("line N: ...") at the first bad line.
[[nodiscard]] bool ParseScript(const QString& text, std::vector<ScriptLine>* lines, QString* error);

// Turns the escapes of a print line into bytes (ANSI text for the control object).
[[nodiscard]] bool UnescapePrintText(const QString& text, std::string* out);

// What a script may ask of the virtual printer workbench.
class CScriptWorkbench {
  public:
    virtual ~CScriptWorkbench() = default;
    // Sends one control command; `done` gets the printer's one-line answer, or an
    // "error ..." text when the control socket cannot be reached.
    virtual void SendControl(const QString& command, std::function<void(QString)> done) = 0;
    virtual int ReceiptCount() const = 0;
    virtual QString CurrentReceipt() const = 0;  // the preview's file, empty when none
};

// Message boxes of a scripted run: answers queued by the script, or given while the box
// waits (the script goes on in the box's own event loop). Without a script to answer,
// the real dialog is shown.
class CScriptMessageBoxes : public CMessageBoxes {
  public:
    explicit CScriptMessageBoxes(CMessageBoxes& real) : real_(real) {}

    Reply Show(const std::string& text, const std::string& title, Icon icon,
               Buttons buttons) override {
        return Ask(text, title, icon, buttons, false);
    }
    Reply ShowModeless(const std::string& text, const std::string& title, Icon icon,
                       Buttons buttons) override {
        return Ask(text, title, icon, buttons, true);
    }
    std::string OpenFile(const std::string& title, const std::string& filter,
                         const std::string& fileName, const std::string& folder) override;

    // The script's answer: to the box waiting now, or else to the next one.
    void Answer(Reply reply);
    // When no script runs any more, boxes are real again.
    void SetScripted(bool scripted) { scripted_ = scripted; }
    // Boxes shown before the script starts (while the window is built) have no one to
    // answer them: they are logged and get the answer that asks for nothing further.
    void ScriptStarted() { started_ = true; }
    // The program is ending: a box waiting gets the answer that asks for nothing further.
    void Quit() { quitting_ = true; }
    bool Waiting() const { return waiting_ > 0; }
    // Boxes that have waited for the script's answer and closed, counted from the start.
    int BoxesClosed() const { return closed_; }
    const QStringList& Shown() const { return shown_; }

  private:
    Reply Ask(const std::string& text, const std::string& title, Icon icon, Buttons buttons,
              bool modeless);
    Reply Real(const std::string& text, const std::string& title, Icon icon, Buttons buttons,
               bool modeless) {
        return modeless ? real_.ShowModeless(text, title, icon, buttons)
                        : real_.Show(text, title, icon, buttons);
    }

    CMessageBoxes& real_;
    bool scripted_ = true;
    bool quitting_ = false;
    bool started_ = false;
    std::deque<Reply> queued_;
    std::optional<Reply> answer_;  // for the innermost box waiting
    int waiting_ = 0;              // boxes waiting, nested
    int closed_ = 0;
    QStringList shown_;
};

class OperatorScript : public QObject {
    Q_OBJECT
  public:
    // workbench may be null (no --virtual).
    OperatorScript(std::vector<ScriptLine> lines, ParentForm& window, CScriptMessageBoxes& messages,
                   CScriptWorkbench* workbench, QObject* parent = nullptr);
    ~OperatorScript() override;

    // Runs the first line from the event loop.
    void Start();

  private:
    void Next();
    void Run(const ScriptLine& line);
    // Fails the script: message on stderr with the line number, program exit code.
    void Fail(const ScriptLine& line, const QString& why, int exitCode);
    // Holds the script until condition is true (checked whenever the event loop is about
    // to block, and by the property timer), or fails it after line.seconds.
    void WaitUntil(const ScriptLine& line, std::function<bool()> condition,
                   bool pollProperty = false);
    void CheckWait();
    void Dump();
    bool FindNewLine(const QStringList& lines, const QString& text, int* cursor);

    std::vector<ScriptLine> lines_;
    size_t next_ = 0;
    ParentForm& window_;
    CScriptMessageBoxes& messages_;
    CScriptWorkbench* workbench_;
    std::function<bool()> waitFor_;
    const ScriptLine* waitLine_ = nullptr;
    QTimer deadline_;
    QTimer propertyTimer_;
    QMetaObject::Connection aboutToBlock_;
    int eventCursor_ = 0;
    int resultCursor_ = 0;
    int messageCursor_ = 0;
    bool finished_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace exerciser
