// Tcomdlg in this process, on the toolkit's off-screen platform: its
// controls where the layout puts them, and what a typed text chooses.
#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <vector>
#include <QFontMetrics>
#include <QRect>

#include "gui/ComDialog.h"

namespace tarvina {
namespace {

QApplication& App() {
  // A command-line platform, not the environment: the desktop tests' child
  // programs must still get the real display.
  static int argc = 3;
  static char a0[] = "comdialog_test", a1[] = "-platform", a2[] = "offscreen";
  static char* argv[] = {a0, a1, a2, nullptr};
  static QApplication app(argc, argv);
  return app;
}

TEST(ComDialog, ControlsSitWhereTheLayoutPutsThem) {
  App();
  Tcomdlg d;
  EXPECT_EQ(d.windowTitle(), "comport - SETUP");
  EXPECT_EQ(d.size(), QSize(301, 76));
  EXPECT_EQ(d.minimumSize(), d.maximumSize()) << "fixed size";
  struct Control {
    QWidget* w;
    QRect at;
    QString text;
  };
  const Control controls[] = {
      {d.Label1, {0, 12, 50, 13}, "&Comport:"},   {d.Label2, {0, 44, 50, 13}, "&Baudrate:"},
      {d.comportCombo, {56, 8, 145, 21}, "COM2:"}, {d.baudcombo, {56, 40, 145, 21}, "38400"},
      {d.Button1, {216, 8, 75, 25}, "&Ok"},       {d.Button2, {216, 40, 75, 25}, "Abbruch"},
  };
  d.comportCombo->setCurrentIndex(1);
  d.baudcombo->setCurrentIndex(7);
  for (const Control& c : controls) {
    SCOPED_TRACE(c.text.toStdString());
    EXPECT_EQ(c.w->geometry(), c.at);
    if (auto* l = qobject_cast<QLabel*>(c.w)) {
      EXPECT_EQ(l->text(), c.text);
      EXPECT_TRUE(l->alignment() & Qt::AlignRight);
      EXPECT_LE(QFontMetrics(l->font()).horizontalAdvance(QString(c.text).remove('&')), 50) << "label text cut";
    } else if (auto* b = qobject_cast<QPushButton*>(c.w)) {
      EXPECT_EQ(b->text(), c.text);
    } else if (auto* cb = qobject_cast<QComboBox*>(c.w)) {
      EXPECT_EQ(cb->currentText(), c.text);
    }
  }
  EXPECT_EQ(d.Label1->buddy(), d.comportCombo);
  EXPECT_EQ(d.comportCombo->count(), 9);
  EXPECT_EQ(d.comportCombo->itemText(8), "COM9:");
  EXPECT_EQ(d.baudcombo->count(), 10);
  EXPECT_EQ(d.baudcombo->itemText(9), "115200");
  // Tab order: the four controls in the focus chain (their inner parts aside).
  const std::vector<QWidget*> tab_order = {d.comportCombo, d.baudcombo, d.Button1, d.Button2};
  std::vector<QWidget*> chain;
  QWidget* w = d.comportCombo;
  do {
    if (std::find(tab_order.begin(), tab_order.end(), w) != tab_order.end()) chain.push_back(w);
    w = w->nextInFocusChain();
  } while (w != d.comportCombo && chain.size() < 8);
  EXPECT_EQ(chain, tab_order);
}

TEST(ComDialog, TypedTextChoosesTheEntryItNamesOrNothingNew) {
  App();
  Tcomdlg d;
  d.baudcombo->setCurrentIndex(5);
  struct Case {
    const char* typed;
    int index;
  };
  const Case cases[] = {{"57600", 8}, {"300", 0}, {"1234", 5}, {"", 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    d.baudcombo->setCurrentIndex(5);
    d.baudcombo->setEditText(c.typed);
    EXPECT_EQ(d.BaudIndex(), c.index);
  }
  d.comportCombo->setCurrentIndex(0);
  d.comportCombo->setEditText("com4:");
  EXPECT_EQ(d.PortIndex(), 3) << "letter case does not matter";
}

}  // namespace
}  // namespace tarvina
