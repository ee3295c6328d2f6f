#pragma once

#include <QDialog>

class QLineEdit;

namespace korvel {

// Asks for the address of a system to add by hand.
class TNewClientDlg : public QDialog {
    Q_OBJECT

public:
    explicit TNewClientDlg(QWidget* parent = nullptr);

    QLineEdit* NewClientAddr;
};

} // namespace korvel
