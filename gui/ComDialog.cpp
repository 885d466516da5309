#include "gui/ComDialog.h"

#include <QFont>
#include <QFontMetrics>
#include <QStringList>

#include "platform/MainLoop.h"

namespace tarvina {

namespace {

QLabel* MakeLabel(QWidget* parent, const char* text, QWidget* buddy, int top) {
  auto* l = new QLabel(QString::fromLatin1(text), parent);
  l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  l->setGeometry(0, top, 50, 13);
  l->setBuddy(buddy);
  return l;
}

QComboBox* MakeCombo(QWidget* parent, const QStringList& items, int top) {
  auto* c = new QComboBox(parent);
  c->setEditable(true);
  c->setInsertPolicy(QComboBox::NoInsert);
  c->addItems(items);
  c->setGeometry(56, top, 145, 21);
  return c;
}

QPushButton* MakeButton(QWidget* parent, const char* text, int top) {
  auto* b = new QPushButton(QString::fromLatin1(text), parent);
  b->setGeometry(216, top, 75, 25);
  return b;
}

int IndexOfText(const QComboBox* c) {
  const int i = c->findText(c->currentText(), Qt::MatchFixedString);
  return i >= 0 ? i : c->currentIndex();
}

Tcomdlg*& Shared() {
  static Tcomdlg* dialog = nullptr;
  return dialog;
}

}  // namespace

Tcomdlg::Tcomdlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("comport - SETUP"));
  // Where the font is missing, one whose labels fit their 50 pixels: the
  // positions are fixed, so a wider face is made smaller rather than cut.
  QFont f;
  f.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                 QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
  f.setStyleHint(QFont::SansSerif);
  for (int px = 11; px >= 8; --px) {
    f.setPixelSize(px);
    const QFontMetrics m(f);
    if (m.horizontalAdvance(QStringLiteral("Baudrate:")) <= 48 && m.horizontalAdvance(QStringLiteral("Comport:")) <= 48)
      break;
  }
  setFont(f);
  setFixedSize(301, 76);

  QStringList ports;
  for (int i = 1; i <= 9; ++i) ports << QStringLiteral("COM%1:").arg(i);
  const QStringList speeds = {"300", "600", "1200", "2400", "4800", "9600", "14400", "38400", "57600", "115200"};
  comportCombo = MakeCombo(this, ports, 8);
  baudcombo = MakeCombo(this, speeds, 40);
  Label1 = MakeLabel(this, "&Comport:", comportCombo, 12);
  Label2 = MakeLabel(this, "&Baudrate:", baudcombo, 44);
  Button1 = MakeButton(this, "&Ok", 8);
  Button2 = MakeButton(this, "Abbruch", 40);
  Button1->setDefault(true);
  connect(Button1, &QPushButton::clicked, this, [this] { done(1); });
  connect(Button2, &QPushButton::clicked, this, [this] { done(2); });
  setTabOrder(comportCombo, baudcombo);
  setTabOrder(baudcombo, Button1);
  setTabOrder(Button1, Button2);
}

int Tcomdlg::PortIndex() const { return IndexOfText(comportCombo); }
int Tcomdlg::BaudIndex() const { return IndexOfText(baudcombo); }

bool ShowComDialog(MainLoop& loop, int& port_index, int& baud_index) {
  Tcomdlg*& dialog = Shared();
  if (!dialog) dialog = new Tcomdlg;
  if (dialog->isVisible()) return false;  // already open for another caller
  dialog->comportCombo->setCurrentIndex(port_index);
  dialog->baudcombo->setCurrentIndex(baud_index);
  dialog->comportCombo->setFocus();
  // Modal for the user, but the wait is the main loop's, so hand-offs, timers
  // and serial events go on while the dialog is open.
  bool closed = false;
  int result = 0;
  auto conn = QObject::connect(dialog, &QDialog::finished, dialog, [&](int r) {
    closed = true;
    result = r;
    loop.Wake();
  });
  dialog->setWindowModality(Qt::ApplicationModal);
  dialog->show();
  loop.WaitUntil([&] { return closed || loop.Quitting(); });
  QObject::disconnect(conn);
  if (!closed) dialog->hide();
  if (result != 1) return false;
  port_index = dialog->PortIndex();
  baud_index = dialog->BaudIndex();
  return true;
}

void FreeComDialog() {
  delete Shared();
  Shared() = nullptr;
}

}  // namespace tarvina
