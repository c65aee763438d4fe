#include "ui/qt/dialog_builder.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStyle>

#include "res/artwork.h"
#include "ui/qt/dialog_units.h"

namespace {

bool Has(const ControlTemplate& c, unsigned bit) {
  return (c.styles & bit) != 0;
}

QWidget* MakeButton(const ControlTemplate& c, QWidget* parent) {
  auto* button = new QPushButton(QString::fromUtf8(c.caption), parent);
  button->setDefault(c.kind == ControlKind::DefPushButton);
  if (Has(c, style::kNoTabStop)) button->setFocusPolicy(Qt::ClickFocus);
  return button;
}

QWidget* MakeEdit(const ControlTemplate& c, QWidget* parent) {
  if (Has(c, style::kMultiLine)) {
    auto* edit = new QPlainTextEdit(QString::fromUtf8(c.caption), parent);
    // Auto horizontal scroll on a multi-line edit means its lines never wrap.
    edit->setLineWrapMode(Has(c, style::kAutoHScroll) ? QPlainTextEdit::NoWrap
                                                      : QPlainTextEdit::WidgetWidth);
    edit->setVerticalScrollBarPolicy(Has(c, style::kVScroll) ? Qt::ScrollBarAlwaysOn
                                                             : Qt::ScrollBarAlwaysOff);
    edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    if (!Has(c, style::kBorder)) edit->setFrameShape(QFrame::NoFrame);
    edit->setReadOnly(true);
    edit->setTabChangesFocus(true);
    return edit;
  }
  auto* edit = new QLineEdit(QString::fromUtf8(c.caption), parent);
  edit->setFrame(Has(c, style::kBorder));
  return edit;
}

QWidget* MakeStatic(const ControlTemplate& c, QWidget* parent) {
  auto* label = new QLabel(parent);
  // Plain text always: the charger's words must never be taken for markup.
  label->setTextFormat(Qt::PlainText);
  label->setText(QString::fromUtf8(c.caption));
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(c.height >= 16);  // two lines of 8 units
  return label;
}

QWidget* MakeImage(const ControlTemplate& c, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setPixmap(ResourcePixmap(QString::fromUtf8(c.caption).toInt()));
  return label;
}

QWidget* MakeWidget(const ControlTemplate& c, QWidget* parent) {
  switch (c.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton:
      return MakeButton(c, parent);
    case ControlKind::Edit:
      return MakeEdit(c, parent);
    case ControlKind::Static:
      return MakeStatic(c, parent);
    case ControlKind::GroupBox: {
      auto* group = new QGroupBox(QString::fromUtf8(c.caption), parent);
      // Like a Windows group box it is only a frame: clicks reach what lies under it.
      group->setAttribute(Qt::WA_TransparentForMouseEvents);
      return group;
    }
    case ControlKind::Progress: {
      auto* bar = new QProgressBar(parent);
      bar->setRange(0, 100);
      bar->setValue(0);
      bar->setTextVisible(false);
      return bar;
    }
    case ControlKind::ComboBox: {
      auto* combo = new QComboBox(parent);
      combo->setEditable(Has(c, style::kDropDown));
      return combo;
    }
    case ControlKind::Picture:
    case ControlKind::Icon:
      return MakeImage(c, parent);
  }
  return new QWidget(parent);
}

QRect Placement(const ControlTemplate& c, const QWidget& widget, const DialogUnits& units) {
  const QRect box = units.Rect(c.x, c.y, c.width, c.height);
  const auto* label = qobject_cast<const QLabel*>(&widget);
  const bool image = c.kind == ControlKind::Picture || c.kind == ControlKind::Icon;
  if (!image || label == nullptr || label->pixmap().isNull()) return box;
  // Images are shown at their own size; right alignment keeps the lower-right corner put.
  const QSize own = label->pixmap().size();
  if (Has(c, style::kRightAlign)) {
    return QRect(
        QPoint(box.left() + box.width() - own.width(), box.top() + box.height() - own.height()),
        own);
  }
  return QRect(box.topLeft(), own);
}

}  // namespace

std::vector<TemplateControl> BuildDialog(const DialogTemplate& dialog, QDialog& host) {
  const QFont font = TemplateFont(dialog);
  const DialogUnits units(font);
  host.setFont(font);
  host.setWindowTitle(QString::fromUtf8(dialog.caption));
  host.setFixedSize(units.Size(dialog.width, dialog.height));

  std::vector<TemplateControl> controls;
  controls.reserve(dialog.controls.size());
  for (const ControlTemplate& c : dialog.controls) {
    QWidget* widget = MakeWidget(c, &host);
    widget->setGeometry(Placement(c, *widget, units));
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) UpdateClippedToolTip(*button);
    if (!c.visible) widget->hide();
    controls.push_back({&c, widget});
  }
  // Earlier controls lie on top, as in a Windows dialog.
  for (const TemplateControl& built : controls) built.widget->lower();
  return controls;
}

void UpdateClippedToolTip(QAbstractButton& button) {
  const int room = button.width() - 2 * button.style()->pixelMetric(QStyle::PM_ButtonMargin);
  const bool clipped = button.fontMetrics().horizontalAdvance(button.text()) > room;
  button.setToolTip(clipped ? button.text() : QString());
}

QWidget* FindWidget(const std::vector<TemplateControl>& controls, int id) {
  for (const TemplateControl& built : controls) {
    if (built.control->id == id) return built.widget;
  }
  return nullptr;
}
