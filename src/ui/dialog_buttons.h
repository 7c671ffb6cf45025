#pragma once

class QDialog;
class QDialogButtonBox;

// The OK and Cancel buttons of the program's dialogs, one above the other: texts "OK" and
// "Cancel" without icons, OK the default for Enter, OK accepting and Cancel (or Escape)
// rejecting the dialog. The caller places the box in its layout.
QDialogButtonBox* MakeOkCancelButtons(QDialog* pDialog);
