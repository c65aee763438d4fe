#include "ui/qt/station_window.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "res/artwork.h"
#include "res/resource_ids.h"
#include "station/station.h"
#include "ui/qt/quorlin_window.h"
#include "ui/qt/station_sound.h"

namespace {

QString Text(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QColor Colour(uint32_t rgb) {
  return QColor(static_cast<int>(rgb >> 16), static_cast<int>((rgb >> 8) & 0xFF),
                static_cast<int>(rgb & 0xFF));
}

QString BoxStyle(RowColour colour) {
  const RowPaint paint = PaintOf(colour);
  return QStringLiteral(
             "QLabel { background: %1; color: %2; border-radius: 6px; padding: 4px 12px; }")
      .arg(Colour(paint.background).name(), Colour(paint.text).name());
}

// A large figure under its caption: read from across the bench.
QLabel* TotalBox(QGridLayout* grid, int column, const char* caption, RowColour colour) {
  auto* title = new QLabel(QString::fromLatin1(caption));
  QFont small = title->font();
  small.setPointSizeF(small.pointSizeF() * 1.1);
  small.setBold(true);
  title->setFont(small);
  title->setAlignment(Qt::AlignCenter);
  auto* figure = new QLabel(QStringLiteral("0"));
  QFont large = figure->font();
  large.setPointSizeF(large.pointSizeF() * 3.2);
  large.setBold(true);
  figure->setFont(large);
  figure->setAlignment(Qt::AlignCenter);
  figure->setMinimumWidth(150);
  figure->setStyleSheet(BoxStyle(colour));
  grid->addWidget(title, 0, column);
  grid->addWidget(figure, 1, column);
  return figure;
}

// A label in a bold font `scale` times the window's size.
QLabel* BoldLabel(double scale) {
  auto* label = new QLabel;
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * scale);
  font.setBold(true);
  label->setFont(font);
  return label;
}

}  // namespace

StationWindow::StationWindow(Station& station, QWidget* parent)
    : QWidget(parent), m_station(station) {
  setWindowTitle(QStringLiteral("Charger Updater - Production station"));
  setWindowIcon(QIcon(ResourcePixmap(ids::kAppIcon)));

  m_title = BoldLabel(1.8);
  m_details = new QLabel;
  m_details->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_run = BoldLabel(1.3);
  m_others = new QLabel;

  m_open = new QPushButton(QStringLiteral("Open image..."));
  m_start = new QPushButton(QStringLiteral("Start"));
  m_stop = new QPushButton(QStringLiteral("Stop"));
  for (QPushButton* button : {m_start, m_stop}) {
    QFont font = button->font();
    font.setPointSizeF(font.pointSizeF() * 1.6);
    font.setBold(true);
    button->setFont(font);
    button->setMinimumSize(140, 48);
  }
  connect(m_open, &QPushButton::clicked, this, [this] { OnOpenImage(); });
  connect(m_start, &QPushButton::clicked, this, [this] { m_station.Start(); });
  connect(m_stop, &QPushButton::clicked, this, [this] { m_station.Stop(); });

  auto* heading = new QVBoxLayout;
  heading->addWidget(m_title);
  heading->addWidget(m_details);
  heading->addWidget(m_run);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(m_open);
  buttons->addWidget(m_start);
  buttons->addWidget(m_stop);
  auto* top = new QHBoxLayout;
  top->addLayout(heading, 1);
  top->addLayout(buttons);

  auto* totals = new QGridLayout;
  m_totals[0] = TotalBox(totals, 0, "PASSED", RowColour::Green);
  m_totals[1] = TotalBox(totals, 1, "FAILED", RowColour::Red);
  m_totals[2] = TotalBox(totals, 2, "REFUSED", RowColour::Amber);
  m_totals[3] = TotalBox(totals, 3, "YIELD", RowColour::Plain);
  totals->addWidget(m_others, 2, 0, 1, 4);

  m_table = new QTableWidget(static_cast<int>(station.Model().RowCount()), kColumnCount);
  QStringList titles;
  for (const char* title : kColumnTitles) titles << QString::fromLatin1(title);
  m_table->setHorizontalHeaderLabels(titles);
  m_table->verticalHeader()->hide();
  m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_table->setSelectionMode(QAbstractItemView::NoSelection);
  m_table->setFocusPolicy(Qt::NoFocus);
  QFont rowFont = m_table->font();
  rowFont.setPointSizeF(rowFont.pointSizeF() * 1.35);
  m_table->setFont(rowFont);
  m_table->verticalHeader()->setDefaultSectionSize(QFontMetrics(rowFont).height() + 10);
  for (int row = 0; row < m_table->rowCount(); ++row)
    for (int column = 0; column < kColumnCount; ++column)
      m_table->setItem(row, column, new QTableWidgetItem);
  // Wide enough for what each column holds, the port names as they are; the reason takes the
  // rest and a long one shows whole in its tooltip.
  const QFontMetrics metrics(rowFont);
  int portWidth = metrics.horizontalAdvance(QStringLiteral("COM10"));
  for (const std::string& port : station.Ports())
    portWidth = std::max(portWidth, metrics.horizontalAdvance(Text(port)));
  const QString samples[kColumnCount - 1] = {QString(),
                                             QStringLiteral("programming 100 %"),
                                             QStringLiteral("QC-2410 Smart Charger"),
                                             QStringLiteral("SN12345678"),
                                             QString(),
                                             QString(),
                                             QStringLiteral("888.8 s")};
  const int padding = metrics.horizontalAdvance(QStringLiteral("MM"));
  for (int column = 0; column + 1 < kColumnCount; ++column) {
    const int header = QFontMetrics(m_table->horizontalHeader()->font())
                           .horizontalAdvance(QString::fromLatin1(kColumnTitles[column]));
    const int content = column == 0 ? std::min(portWidth, 20 * metrics.averageCharWidth())
                                    : metrics.horizontalAdvance(samples[column]);
    m_table->setColumnWidth(column, std::max(header, content) + padding);
  }
  m_table->setTextElideMode(Qt::ElideMiddle);
  m_table->horizontalHeader()->setStretchLastSection(true);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(totals);
  layout->addWidget(m_table, 1);
  // Wide enough for a failure's reason, where the screen has room for it.
  const QRect screen = this->screen()->availableGeometry();
  resize(std::min(1560, screen.width() * 9 / 10), std::min(760, screen.height() * 9 / 10));

  m_sound = new StationSound(this);
  m_frameTimer = new QTimer(this);
  m_frameTimer->setSingleShot(true);
  m_frameTimer->setTimerType(Qt::PreciseTimer);
  connect(m_frameTimer, &QTimer::timeout, this, [this] { Draw(); });
  // The model calls from the conductor's thread; drawing happens on this one.
  m_station.Model().SetChangedListener([this] {
    QMetaObject::invokeMethod(
        this, [this] { Draw(); }, Qt::QueuedConnection);
  });
  Draw();
}

StationWindow::~StationWindow() {
  m_station.Model().SetChangedListener({});
}

void StationWindow::Draw() {
  const auto now = StationModel::Clock::now();
  StationModel::Frame frame = m_station.Model().TakeFrame(now);
  if (frame.header) DrawHeader(*frame.header);
  for (const auto& [row, cells] : frame.rows) DrawRow(row, cells);
  if (frame.sound) m_sound->Play(*frame.sound);
  if (frame.next) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*frame.next - now).count();
    m_frameTimer->start(static_cast<int>(std::max<long long>(wait, 0)));
  } else {
    m_frameTimer->stop();
  }
  if (m_closeWhenStopped && m_station.Model().GetRun() == StationModel::Run::Stopped) close();
}

void StationWindow::DrawHeader(const StationModel::HeaderCells& header) {
  m_title->setText(Text(header.title));
  m_details->setText(Text(header.details));
  m_run->setText(Text(header.run));
  m_others->setText(Text(header.others));
  m_totals[0]->setText(Text(header.passed));
  m_totals[1]->setText(Text(header.failed));
  m_totals[2]->setText(Text(header.refused));
  m_totals[3]->setText(Text(header.yield));
  m_start->setEnabled(header.canStart);
  m_stop->setEnabled(header.canStop);
  m_open->setEnabled(header.canOpen);
}

// Only what changed is set: each change repaints its cell, and most frames change one.
void StationWindow::DrawRow(size_t row, const RowCells& cells) {
  const RowPaint paint = PaintOf(cells.colour);
  const QColor background = Colour(paint.background);
  const QColor text = Colour(paint.text);
  const bool result = cells.colour == RowColour::Green || cells.colour == RowColour::Red ||
                      cells.colour == RowColour::Amber;
  for (int column = 0; column < kColumnCount; ++column) {
    QTableWidgetItem* item = m_table->item(static_cast<int>(row), column);
    const QString shown = Text(Cell(cells, column));
    if (item->text() != shown) item->setText(shown);
    if (item->background().color() != background) item->setBackground(background);
    if (item->foreground().color() != text) item->setForeground(text);
    if (column == 1 && item->font().bold() != result) {
      QFont font = item->font();
      font.setBold(result);
      item->setFont(font);
    }
  }
  QTableWidgetItem* reason = m_table->item(static_cast<int>(row), kColumnCount - 1);
  if (reason->toolTip() != reason->text()) reason->setToolTip(reason->text());
}

void StationWindow::OnOpenImage() {
  const QString path = QFileDialog::getOpenFileName(
      this, QStringLiteral("Open firmware image"), QString(),
      QuorlinWindow::NameFilters(Station::kImageFilter).join(QStringLiteral(";;")));
  if (path.isEmpty()) return;
  const std::string problem = m_station.OpenImage(path.toStdString());
  if (!problem.empty()) QMessageBox::warning(this, windowTitle(), Text(problem));
}

void StationWindow::closeEvent(QCloseEvent* event) {
  if (m_station.Model().GetRun() == StationModel::Run::Stopped) {
    event->accept();
    return;
  }
  event->ignore();
  if (m_closeWhenStopped) return;
  if (const auto question = m_station.CloseQuestion()) {
    const auto answer = QMessageBox::question(this, windowTitle(), Text(*question),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) return;
  }
  CloseWhenStopped();
}

void StationWindow::CloseWhenStopped() {
  m_closeWhenStopped = true;
  m_station.Stop();
  Draw();
}
