#pragma once

class QDialog;
class QDialogButtonBox;
class QWidget;

namespace korvel {

// The "OK" (default) and "Cancel" pair every dialog of the program ends with,
// named OkButton and CancelButton and closing the dialog with its result.
QDialogButtonBox* AddOkCancelButtons(QDialog* dialog);

// On each opening: the first field has the focus with its text selected and
// Enter means OK, whatever button had the focus when the dialog last closed.
void FocusFirstField(QDialog* dialog, QWidget* first);

} // namespace korvel
