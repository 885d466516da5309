#include "gui/Desktop.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QCursor>
#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "gui/ComDialog.h"
#include "platform/MainLoop.h"
#include "platform/Shell.h"
#include "serial/UComPort.h"
#include "server/MainSrv.h"

namespace tarvina {

namespace {

// A local X display (":N", ":N.S", "unix:N") answers on its socket; a remote
// one is left for the toolkit to try.
bool LocalDisplayAnswers(const std::string& display) {
  const auto colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  const int number = std::atoi(display.c_str() + colon + 1);
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  for (bool abstract : {true, false}) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    std::memcpy(a.sun_path + offset, path.c_str(), path.size());
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0;
    ::close(fd);
    if (ok) return true;
  }
  return false;
}

QString Text(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The program's icon: a card terminal with its screen, keys and a card in
// its slot, drawn here so that it needs no artwork file.
QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    // The card, behind the terminal, sticking out at the top.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xF2, 0xB1, 0x34));
    p.drawRoundedRect(QRectF(9, 1, 14, 10), 1.5, 1.5);
    p.setBrush(QColor(0x8A, 0x5A, 0x00));
    p.drawRect(QRectF(9, 3, 14, 2));
    // The terminal.
    p.setBrush(QColor(0x1F, 0x3A, 0x68));
    p.drawRoundedRect(QRectF(5, 6, 22, 25), 4, 4);
    p.setBrush(QColor(0x9F, 0xE0, 0xA8));
    p.drawRoundedRect(QRectF(8, 9, 16, 7), 1.5, 1.5);
    p.setBrush(QColor(0xE8, 0xEC, 0xF2));
    for (int row = 0; row < 3; ++row)
      for (int col = 0; col < 3; ++col) p.drawEllipse(QRectF(9 + col * 5.5, 18.5 + row * 4, 3.2, 3.2));
    icon.addPixmap(pm);
  }
  return icon;
}

// The icon's own window is the toolkit's; it gets the tip as its name too, so
// that tray hosts and tools that list icons by name show the same text. It is
// made when a tray host is there, which may be later than the icon is added.
class TrayWindowNamer final : public QObject {
 public:
  QString tip;

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Show && o->isWidgetType() && o->objectName() == QLatin1String("QSystemTrayIconSys"))
      static_cast<QWidget*>(o)->setWindowTitle(tip);
    return false;
  }
};

// A message box whose text Ctrl+C copies, so that a user can paste the reason
// a listener did not start into a report.
class MessageBox final : public QMessageBox {
 public:
  MessageBox(const QString& title, const QString& text) : QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::Ok) {}

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    if (e->matches(QKeySequence::Copy)) {
      QGuiApplication::clipboard()->setText(text());
      return;
    }
    QMessageBox::keyPressEvent(e);
  }
};

class LogWindow final : public QWidget {
 public:
  std::function<void()> on_close;

 protected:
  void closeEvent(QCloseEvent* e) override {
    e->accept();
    if (on_close) on_close();
  }
};

}  // namespace

bool DesktopAvailable(std::string& why) {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0) return true;
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) {
    why = "DISPLAY is not set";
    return false;
  }
  if (!LocalDisplayAnswers(display)) {
    why = std::string("no X server answers on DISPLAY=") + display;
    return false;
  }
  return true;
}

struct Desktop::Impl final : Shell, EventSource {
  Impl(MainLoop& l, int& argc, char** argv, const std::string& t)
      : loop(l), app(argc, argv), title(Text(t)) {
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(title);
    QApplication::setWindowIcon(ProgramIcon());
    dispatcher = QAbstractEventDispatcher::instance();

    // A tool window: no taskbar button of its own, the icon is the way in.
    window.setWindowFlags(Qt::Tool);
    window.setWindowTitle(QString::fromLatin1(kCaption));
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    window.setFont(font);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    log = new QPlainTextEdit(&window);
    log->setReadOnly(true);
    log->setFrameShape(QFrame::NoFrame);
    QPalette pal = log->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::Button));
    log->setPalette(pal);
    layout->addWidget(log);
    window.resize(366, 344);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect r(QPoint(0, 0), window.size());
      r.moveCenter(screen->availableGeometry().center());
      window.move(r.topLeft());
    }
    // The native window exists from the start, hidden, so that the desktop
    // (and a test) can find it by its caption before it is ever shown.
    window.winId();
    window.on_close = [this] {
      if (on_close) on_close();
    };

    tray.setIcon(ProgramIcon());
    QObject::connect(&tray, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason r) {
      unsigned msg = 0;
      switch (r) {
        case QSystemTrayIcon::Trigger: msg = WM_LBUTTONDOWN; break;
        case QSystemTrayIcon::Context: msg = WM_RBUTTONDOWN; break;
        // A double click is a press (Trigger) and then this: it toggles once.
        case QSystemTrayIcon::DoubleClick: msg = WM_LBUTTONDBLCLK; break;
        case QSystemTrayIcon::MiddleClick: msg = WM_MBUTTONDOWN; break;
        default: return;
      }
      if (on_tray) on_tray(msg);
    });

    app.installEventFilter(&namer);
    wake_timer.setSingleShot(true);
    wake_timer.setTimerType(Qt::PreciseTimer);
    SetComConfigDialog(ShowComDialog);
    loop.SetEventSource(this);
  }

  ~Impl() override {
    loop.SetEventSource(nullptr);
    SetComConfigDialog(nullptr);
    FreeComDialog();
    tray.hide();
  }

  // ---- Shell
  void SetCaption(const std::string& text) override { window.setWindowTitle(Text(text)); }
  void ShowMessage(const std::string& text) override {
    // Not modal: the loop goes on serving while the box is up.
    auto* box = new MessageBox(title, Text(text));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    box->raise();
  }
  void SetLogLines(const std::vector<std::string>& lines) override {
    log->clear();
    for (const auto& l : lines) log->appendPlainText(Text(l));
  }
  void AppendLog(const std::string& line) override { log->appendPlainText(Text(line)); }
  bool WindowVisible() const override { return window.isVisible(); }
  void ShowWindow() override {
    window.show();
    window.raise();
    window.activateWindow();
  }
  void HideWindow() override { window.hide(); }
  void AddTrayIcon(const std::string& tip) override {
    namer.tip = Text(tip.substr(0, kTrayTipMax));
    tray.setToolTip(namer.tip);
    tray.show();
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String("QSystemTrayIconSys")) w->setWindowTitle(namer.tip);
  }
  void RemoveTrayIcon() override { tray.hide(); }
  void SetCursorBusy(bool on) override {
    if (on == busy) return;
    busy = on;
    if (on)
      QApplication::setOverrideCursor(Qt::WaitCursor);
    else
      QApplication::restoreOverrideCursor();
  }
  void Beep() override { QApplication::beep(); }

  // ---- EventSource
  void Process() override { QCoreApplication::processEvents(QEventLoop::AllEvents); }
  void Block(Millis timeout_ms) override {
    if (timeout_ms >= 0) wake_timer.start(static_cast<int>(std::min<Millis>(timeout_ms, INT_MAX)));
    // Blocks in the toolkit's own wait (its display connection, its timers,
    // its posted events) until something happens or Interrupt() wakes it.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
    wake_timer.stop();
  }
  void Interrupt() override { dispatcher->wakeUp(); }

  MainLoop& loop;
  QApplication app;
  QString title;
  QAbstractEventDispatcher* dispatcher = nullptr;
  LogWindow window;
  QPlainTextEdit* log = nullptr;
  TrayWindowNamer namer;
  QSystemTrayIcon tray;
  QTimer wake_timer;
  bool busy = false;
  std::function<void(unsigned)> on_tray;
  std::function<void()> on_close;
};

Desktop::Desktop(MainLoop& loop, int& argc, char** argv, const std::string& title)
    : impl_(std::make_unique<Impl>(loop, argc, argv, title)) {}

Desktop::~Desktop() = default;

Shell& Desktop::shell() { return *impl_; }
void Desktop::OnTrayMessage(std::function<void(unsigned)> handler) { impl_->on_tray = std::move(handler); }
void Desktop::OnClose(std::function<void()> handler) { impl_->on_close = std::move(handler); }

}  // namespace tarvina
