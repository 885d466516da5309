#pragma once
// Tcomdlg, the serial line's setup dialog: a port list, a speed list, Ok and
// Abbruch, laid out at fixed positions in a fixed-size dialog.
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>

namespace tarvina {

class MainLoop;

class Tcomdlg : public QDialog {
 public:
  explicit Tcomdlg(QWidget* parent = nullptr);

  // Index of the list entry the text matches, else the entry shown before
  // the text was typed: typed text that names no entry chooses nothing new.
  int PortIndex() const;
  int BaudIndex() const;

  QLabel* Label1;
  QLabel* Label2;
  QComboBox* comportCombo;
  QComboBox* baudcombo;
  QPushButton* Button1;
  QPushButton* Button2;
};

// Shows the one shared dialog (made on first use) with these entries chosen
// and waits in the main loop until it closes; true on Ok, with the choice.
bool ShowComDialog(MainLoop& loop, int& port_index, int& baud_index);
// Frees the shared dialog (the desktop does at its end).
void FreeComDialog();

}  // namespace tarvina
