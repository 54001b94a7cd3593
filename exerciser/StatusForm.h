// The status window: the printer's sensors as seven check boxes. They are indicators set by
// the program, never by the operator.
#pragma once

#include <QCheckBox>
#include <QWidget>
#include <array>

#include "exerciser/MyGlobalModule.h"

namespace exerciser {

class StatusForm : public QWidget {
    Q_OBJECT
  public:
    explicit StatusForm(QWidget* parent = nullptr);

    QCheckBox* Box(StatusBox box) const { return boxes_[static_cast<size_t>(box)]; }
    bool Checked(StatusBox box) const { return Box(box)->isChecked(); }
    void SetChecked(StatusBox box, bool checked) { Box(box)->setChecked(checked); }
    void Apply(const StatusUpdateRule& rule);
    void Apply(const StatusPrime& prime);
    void DisableAll();

  private:
    std::array<QCheckBox*, kStatusBoxCount> boxes_{};
};

}  // namespace exerciser
