#pragma once

#include <QDialog>

#include <string>

class QLineEdit;

namespace korvel {

// Source and destination station of a test registration.
class RegisterDialog : public QDialog {
    Q_OBJECT

public:
    explicit RegisterDialog(QWidget* parent = nullptr);
    void showEvent(QShowEvent* event) override;

    std::string sourceStation() const;
    std::string destinationStation() const;

private:
    QLineEdit* sourceField_ = nullptr;
    QLineEdit* destinationField_ = nullptr;
};

} // namespace korvel
