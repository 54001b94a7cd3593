// The event window: the printer's status updates, one line each.
#pragma once

#include <QListWidget>
#include <QWidget>

namespace exerciser {

class EventForm : public QWidget {
    Q_OBJECT
  public:
    explicit EventForm(QWidget* parent = nullptr);
    QListWidget* EventCodeList() const { return list_; }
    void AddLine(const QString& line);
    QStringList Lines() const;

  private:
    QListWidget* list_;
};

}  // namespace exerciser
