#pragma once

class QDialog;
class QDialogButtonBox;

namespace korvel {

// The "OK" (default) and "Cancel" pair every dialog of the program ends with,
// named OKBtn and CancelBtn and closing the dialog with its result.
QDialogButtonBox* AddOkCancelButtons(QDialog* dialog);

} // namespace korvel
