#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;

namespace korvel {

// Asks for the address of a system to add by hand; OK only closes it on a
// dotted IPv4 address.
class NewClientDialog : public QDialog {
    Q_OBJECT

public:
    explicit NewClientDialog(QWidget* parent = nullptr);

    void accept() override;
    void clearAddress();
    // The address typed, once accepted a dotted IPv4 address.
    QString address() const;
    // What the line under the field says is wrong; empty when nothing is.
    QString errorText() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* addressField_;
    QLabel* errorLine_;
};

} // namespace korvel
