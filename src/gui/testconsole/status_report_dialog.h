#pragma once

#include <QDialog>

#include <string>
#include <vector>

class QLineEdit;
class QPlainTextEdit;
class QRadioButton;

namespace korvel {

// Supplies the System ID, one status and the station list of a test status
// report or multi-acknowledgement. Created once, so what was typed stays.
class StatusReportDialog : public QDialog {
    Q_OBJECT

public:
    explicit StatusReportDialog(QWidget* parent = nullptr);
    void showEvent(QShowEvent* event) override;

    std::string systemId() const;
    // One entry per line, empty lines included; a final line break adds none.
    std::vector<std::string> stations() const;
    // The entry byte of a status report and of a multi-acknowledgement.
    std::uint8_t statusByte() const;
    std::uint8_t resultByte() const;

private:
    QLineEdit* systemIdField_ = nullptr;
    QRadioButton* idleButton_ = nullptr;
    QRadioButton* busyButton_ = nullptr;
    QRadioButton* doNotDisturbButton_ = nullptr;
    QRadioButton* messageButton_ = nullptr;
    QPlainTextEdit* stationsField_ = nullptr;
};

} // namespace korvel
