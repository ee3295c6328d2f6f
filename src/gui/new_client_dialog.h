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

    QLineEdit* addressField;
    QLabel* errorLine;

protected:
    void showEvent(QShowEvent* event) override;
};

} // namespace korvel
