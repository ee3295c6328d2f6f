#pragma once

#include <QDialog>

class QLabel;

namespace korvel {

// The About box. Two of its labels double as hidden switches: a click on the
// title sets the first mark, a click on any of the three lines below it the
// second; the main window unlocks its Debug menu when both are set.
class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

    void clearMarks();
    bool firstMark() const { return firstMark_; }
    bool secondMark() const { return secondMark_; }
    // The line naming the exchanges' versions the hub works with.
    void setCompatibleVersion(const QString& text);
    QString compatibleVersion() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* productName_;
    QLabel* feature_;
    QLabel* compatibleVersion_;
    QLabel* vendor_;
    bool firstMark_ = false;
    bool secondMark_ = false;
};

} // namespace korvel
