// The result window: every result code the program logs, one line each.
#pragma once

#include <QListWidget>
#include <QWidget>

namespace exerciser {

class ResultForm : public QWidget {
    Q_OBJECT
  public:
    explicit ResultForm(QWidget* parent = nullptr);
    QListWidget* ResultCodeList() const { return list_; }
    void AddLine(const QString& line, bool selectLast);
    QStringList Lines() const;

  private:
    QListWidget* list_;
};

}  // namespace exerciser
