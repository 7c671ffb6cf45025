#pragma once

#include <QDialog>

class QPushButton;

// The base of the program's dialogs. Each is laid out as its template is: the size and every
// control's rectangle in dialog units, converted to pixels by the geometry's one conversion, in
// the templates' 8-point font, so that the texts fit the rectangles they were measured for.
class CDialog : public QDialog {
    Q_OBJECT
public:
    CDialog(int nWidthUnits, int nHeightUnits, QWidget* pParent);

    // Moves the members into the controls, runs the dialog modally and, on OK, moves the
    // controls' values back into the members. Returns QDialog::Accepted or Rejected.
    int DoModal();

    // Controls to members (bSave true) or members to controls. Nothing in a dialog without
    // members.
    virtual void DoDataExchange(bool bSave);

protected:
    // Puts a child control at its template rectangle.
    template <class TControl>
    TControl* Place(TControl* pControl, int x, int y, int cx, int cy)
    {
        PlaceControl(pControl, x, y, cx, cy);
        return pControl;
    }

    // "OK", the default button for Enter, which accepts; "Cancel", which rejects, as Escape
    // does. Both plain, without the theme's icons.
    QPushButton* AddOkButton(int x, int y, int cx, int cy);
    QPushButton* AddCancelButton(int x, int y, int cx, int cy);

private:
    void PlaceControl(QWidget* pControl, int x, int y, int cx, int cy);
};
