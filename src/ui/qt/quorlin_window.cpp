#include "ui/qt/quorlin_window.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <utility>

#include "res/artwork.h"
#include "res/resource_ids.h"
#include "ui/qt/about_dlg.h"
#include "ui/quorlin_dlg.h"

namespace {

QString LogText(const std::string& text) {
  QString decoded = QuorlinWindow::DecodeText(text);
  decoded.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  decoded.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return decoded;
}

}  // namespace

QuorlinWindow::QuorlinWindow(bool serviceMode, QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  m_controls = BuildDialog(MainDialogTemplate(), *this);
  setWindowIcon(QIcon(ResourcePixmap(ids::kAppIcon)));
  if (serviceMode) {
    for (int id : ServiceControlIds()) {
      if (QWidget* widget = Control(id)) widget->show();
    }
  }
  WireButtons();
}

QuorlinWindow::~QuorlinWindow() {
  // Nothing queued or waiting may reach the controls once they start to go.
  Detach();
}

void QuorlinWindow::SetEngine(CQuorlinDlg* engine) {
  m_engine = engine;
}

QWidget* QuorlinWindow::Control(int id) const {
  return FindWidget(m_controls, id);
}

void QuorlinWindow::WireButtons() {
  for (const TemplateControl& control : m_controls) {
    auto* button = qobject_cast<QAbstractButton*>(control.widget);
    const int id = control.control->id;
    if (button == nullptr || id == ids::kOk) continue;
    connect(button, &QAbstractButton::clicked, this, [this, id] {
      if (m_engine != nullptr && !Detached()) m_engine->OnCommand(id);
    });
  }
  if (auto* ok = qobject_cast<QAbstractButton*>(Control(ids::kOk))) {
    connect(ok, &QAbstractButton::clicked, this, &QDialog::accept);
  }
}

QString QuorlinWindow::DecodeText(const std::string& text) {
  const QByteArrayView bytes(text.data(), static_cast<qsizetype>(text.size()));
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = utf8.decode(bytes);
  if (!utf8.hasError()) return decoded;
  return QString::fromLatin1(bytes);
}

QStringList QuorlinWindow::NameFilters(const std::string& filter) {
  const QString text = QString::fromUtf8(filter.data(), static_cast<qsizetype>(filter.size()));
  QStringList filters;
  if (text.contains(QLatin1Char('|'))) {
    const QStringList parts = text.split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
      if (parts[i].isEmpty()) break;
      QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
      // "*.*" is every file on Windows; here it would skip names without a dot.
      for (QString& pattern : patterns) {
        if (pattern.trimmed() == QLatin1String("*.*")) pattern = QStringLiteral("*");
      }
      filters << QStringLiteral("%1 (%2)").arg(parts[i], patterns.join(QLatin1Char(' ')));
    }
  } else if (!text.isEmpty()) {
    filters = text.split(QStringLiteral(";;"), Qt::SkipEmptyParts);
  }
  if (filters.isEmpty()) {
    filters << QStringLiteral("Bin Files(*.bin) (*.bin)") << QStringLiteral("all files(*.*) (*)");
  }
  return filters;
}

void QuorlinWindow::ApplyText(int id, const std::string& text) {
  if (id == ids::kMainDialog) {  // the window's own caption
    setWindowTitle(DecodeText(text));
    return;
  }
  QWidget* widget = Control(id);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(DecodeText(text));
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(DecodeText(text));
    UpdateClippedToolTip(*button);
  } else if (auto* log = qobject_cast<QPlainTextEdit*>(widget)) {
    log->setPlainText(LogText(text));
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(DecodeText(text));
  } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    group->setTitle(DecodeText(text));
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    if (combo->isEditable()) combo->setEditText(DecodeText(text));
  }
}

void QuorlinWindow::ApplyEnable(int id, bool enable) {
  if (QWidget* widget = Control(id)) widget->setEnabled(enable);
}

void QuorlinWindow::ApplyProgressRange(int low, int high) {
  if (auto* bar = qobject_cast<QProgressBar*>(Control(ids::kProgress))) bar->setRange(low, high);
}

void QuorlinWindow::ApplyProgressPos(int pos) {
  // A Windows progress bar clamps; QProgressBar would ignore an out-of-range value instead.
  if (auto* bar = qobject_cast<QProgressBar*>(Control(ids::kProgress))) {
    bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
  }
}

void QuorlinWindow::ApplyAddComboItem(int id, const std::string& text) {
  if (auto* combo = qobject_cast<QComboBox*>(Control(id))) combo->addItem(DecodeText(text));
}

void QuorlinWindow::ApplySelectComboItem(int id, int index) {
  if (auto* combo = qobject_cast<QComboBox*>(Control(id))) combo->setCurrentIndex(index);
}

void QuorlinWindow::ApplyScrollToEnd(int id) {
  if (auto* log = qobject_cast<QPlainTextEdit*>(Control(id))) {
    QScrollBar* bar = log->verticalScrollBar();
    bar->setValue(bar->maximum());
  }
}

void QuorlinWindow::ApplyMessageBox(const std::string& text, const std::string& caption,
                                    MessageIcon icon) {
  // An OK box that names no icon gets the exclamation mark, as on Windows.
  const QMessageBox::Icon shown =
      icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::Warning;
  const QString title = caption.empty() ? QCoreApplication::applicationName() : DecodeText(caption);
  QMessageBox box(shown, title, DecodeText(text), QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

bool QuorlinWindow::ApplyAsk(const std::string& text) {
  QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), DecodeText(text),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QuorlinWindow::ApplyChooseFile(const std::string& filter,
                                                          const std::string& startPath) {
  QFileDialog dialog(this);
  if (!startPath.empty())
    dialog.setDirectory(QFileInfo(QFile::decodeName(QByteArray::fromStdString(startPath))).path());
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  const QStringList filters = NameFilters(filter);
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(filters.front());
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  return QFile::encodeName(chosen.front()).toStdString();
}

void QuorlinWindow::ApplyShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

void QuorlinWindow::ApplySetTimer(int id, int intervalMs) {
  QTimer*& timer = m_timers[id];
  if (timer == nullptr) {
    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, id] { TimerFired(id); });
  }
  timer->start(intervalMs);
}

void QuorlinWindow::ApplyKillTimer(int id) {
  if (auto found = m_timers.find(id); found != m_timers.end()) found->second->stop();
}

bool QuorlinWindow::OnGuiThread() const {
  return QThread::currentThread() == thread();
}

void QuorlinWindow::PostToGuiThread(std::function<void()> task) {
  // Queued on the window, so whatever is still queued when it goes is dropped with it.
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

QMenu* QuorlinWindow::CreateSystemMenu() {
  auto* menu = new QMenu(this);
  menu->addAction(tr("Minimize"), this, &QWidget::showMinimized);
  menu->addAction(tr("Close"), this, &QWidget::close);
  const QString about = QString::fromUtf8(LoadResourceString(ids::kAboutMenuString));
  if (!about.isEmpty()) {
    menu->addSeparator();
    menu->addAction(about, this, &QuorlinWindow::OnAboutCommand);
  }
  return menu;
}

void QuorlinWindow::OnAboutCommand() {
  if (m_engine != nullptr) {
    m_engine->OnSysCommand(static_cast<unsigned>(ids::kAboutCommand));
  } else {
    ShowAbout();
  }
}

void QuorlinWindow::contextMenuEvent(QContextMenuEvent* event) {
  std::unique_ptr<QMenu> menu(CreateSystemMenu());
  menu->exec(event->globalPos());
}

void QuorlinWindow::keyPressEvent(QKeyEvent* event) {
  // Enter that no focused button takes is the OK command, as in a Windows dialog.
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    if (auto* ok = qobject_cast<QAbstractButton*>(Control(ids::kOk))) {
      ok->click();
      return;
    }
  }
  QDialog::keyPressEvent(event);
}

void QuorlinWindow::done(int result) {
  if (!m_closing) {
    if (m_engine != nullptr && !Detached() && !m_engine->ConfirmClose()) return;
    m_closing = true;
    // Workers may be waiting on this thread: detach and join them before the window goes.
    if (m_engine != nullptr) {
      m_engine->Shutdown();
    } else {
      Detach();
    }
    for (auto& [id, timer] : m_timers) timer->stop();
  }
  QDialog::done(result);
}
