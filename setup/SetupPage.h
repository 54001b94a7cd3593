// Base of the four pages of the property sheet and of their widget-free logic.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace setup {

// The part every page's logic shares: the "changed" mark that enables the sheet's Apply.
class CPageLogic {
  public:
    bool IsChanged() const { return changed_; }
    void MarkChanged() {
        changed_ = true;
        if (onChanged) {
            onChanged();
        }
    }
    void MarkUnchanged() { changed_ = false; }

    // Called whenever the page becomes changed; the sheet uses it to enable Apply.
    std::function<void()> onChanged;

  private:
    bool changed_ = false;
};

// A page of CQMXSetupSheet. Its controls are built and filled on the first activation;
// every activation after that refreshes it from the registry where the page does so.
class CSetupPage : public QWidget {
    Q_OBJECT
  public:
    explicit CSetupPage(const QString& caption, QWidget* parent = nullptr)
        : QWidget(parent), caption_(caption) {}

    const QString& Caption() const { return caption_; }
    bool IsInitialized() const { return initialized_; }

    // The page becomes the current page.
    void Activate() {
        if (!initialized_) {
            initialized_ = true;
            OnInitDialog();
        }
        OnSetActive();
    }
    // Apply or OK: a page that was never shown saves nothing.
    void Apply() {
        if (initialized_) {
            OnApply();
        }
    }
    virtual bool IsChanged() const = 0;
    virtual void MarkUnchanged() = 0;

  signals:
    void changed();

  protected:
    virtual void OnInitDialog() {}
    virtual void OnSetActive() {}
    virtual void OnApply() {}

  private:
    QString caption_;
    bool initialized_ = false;
};

}  // namespace setup
