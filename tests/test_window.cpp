// The Qt window: template, layout, marshalling from workers, and the window's run with the
// engine against a pseudo-terminal charger.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "record/production_settings.h"
#include "res/artwork.h"
#include "res/dialog_templates.h"
#include "res/resource_ids.h"
#include "res/version.h"
#include "serial/serial_port.h"
#include "ui/qt/about_dlg.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/quorlin_window.h"
#include "ui/quorlin_dlg.h"

namespace {

QString TextOf(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) return edit->toPlainText();
  if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
  return {};
}

// The run of blanks that starts at the first blank after `prefix`.
int BlanksAfter(const std::string& caption, const std::string& prefix) {
  const size_t start = caption.find(prefix);
  if (start == std::string::npos) return -1;
  size_t i = start + prefix.size();
  int blanks = 0;
  while (i < caption.size() && caption[i] == ' ') {
    ++blanks;
    ++i;
  }
  return blanks;
}

// Hands the next modal dialog that opens to `inspect`, then dismisses it. Gives up after 10 s.
void DismissNextModal(std::function<void(QDialog*)> inspect) {
  auto* poll = new QTimer;
  auto* clock = new QElapsedTimer;
  clock->start();
  QObject::connect(poll, &QTimer::timeout, [poll, clock, inspect] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr && clock->elapsed() < 10000) return;
    poll->stop();
    poll->deleteLater();
    delete clock;
    if (dialog == nullptr) return;
    inspect(dialog);
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
      box->button(QMessageBox::Ok)->click();
    } else {
      dialog->accept();
    }
  });
  poll->start(10);
}

// The charger's end of a pseudo-terminal. It answers "0" with a menu reply and, after "1",
// plays YMODEM receiver: ACK and 'C' for the header, ACK for the first `ackedDataBlocks` data
// blocks, then silence, so that a transfer can be held in flight as long as the test needs.
class FakeCharger {
 public:
  FakeCharger(bool answers, int ackedDataBlocks)
      : m_answers(answers), m_ackedDataBlocks(ackedDataBlocks) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, name, sizeof name) != 0) {
      return;
    }
    termios tio;
    if (::tcgetattr(m_master, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(m_master, TCSANOW, &tio);
    }
    m_slavePath = name;
    m_thread = std::thread([this] { Serve(); });
  }
  ~FakeCharger() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_master >= 0) ::close(m_master);
  }

  const std::string& Port() const { return m_slavePath; }
  int Probes() const { return m_probes; }
  int DataBlocks() const { return m_dataBlocks; }
  int BatchesEnded() const { return m_batchesEnded; }

 private:
  void Send(const std::string& bytes) {
    if (::write(m_master, bytes.data(), bytes.size()) < 0) return;
  }

  void Serve() {
    using Clock = std::chrono::steady_clock;
    std::string block;
    bool transfer = false;
    bool headerSeen = false;
    Clock::time_point lastAsk;
    while (!m_stop) {
      // Like a real loader, ask for the header again and again until it comes.
      if (transfer && !headerSeen && Clock::now() - lastAsk > std::chrono::milliseconds(200)) {
        Send("C");
        lastAsk = Clock::now();
      }
      pollfd pfd{m_master, POLLIN, 0};
      // With no one on the slave side the master reports a hang-up; just wait for the opener.
      if (::poll(&pfd, 1, 20) <= 0 || (pfd.revents & POLLIN) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      char buffer[2048];
      const ssize_t got = ::read(m_master, buffer, sizeof buffer);
      if (got <= 0) continue;
      for (ssize_t i = 0; i < got; ++i) {
        const char byte = buffer[i];
        if (!transfer) {
          if (byte == '0') {
            ++m_probes;
            if (m_answers) Send("Model A\r\nSN: 12345678\r\nVER: V12\r\n==== Main Menu ====\r\n");
          } else if (byte == '1') {
            transfer = true;
          }
          continue;
        }
        // A keep-alive "0" that crossed the "1" on the wire is no block.
        if (block.empty() && byte != 0x01 && byte != 0x02 && byte != 0x04) continue;
        block.push_back(byte);
        const size_t length = block[0] == 0x02 ? 1029 : block[0] == 0x01 ? 133 : 1;
        if (block.size() < length) continue;
        const char start = block[0];
        const bool blockZero = start == 0x01 && block[1] == 0;
        block.clear();
        if (blockZero && !headerSeen) {
          headerSeen = true;
          Send(std::string("\x06") + "C");
        } else if (blockZero) {
          // The empty header closes the batch; the loader hands over to the menu again.
          ++m_batchesEnded;
          Send("\x06");
          transfer = false;
          headerSeen = false;
        } else if (start == 0x04) {
          Send(std::string("\x06") + "C");
        } else if (m_dataBlocks++ < m_ackedDataBlocks) {
          Send("\x06");
        }
      }
    }
  }

  bool m_answers;
  int m_ackedDataBlocks;
  int m_master = -1;
  std::string m_slavePath;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_probes{0};
  std::atomic<int> m_dataBlocks{0};
  std::atomic<int> m_batchesEnded{0};
  std::thread m_thread;
};

// A window with its engine, searching only `ports`, remembering nothing between runs.
struct Updater {
  explicit Updater(std::vector<std::string> ports, bool supervisor = true, bool service = false)
      : window(service), dlg(window, g_serial, Options(std::move(ports), supervisor)) {
    window.SetEngine(&dlg);
  }
  static CQuorlinDlg::Options Options(std::vector<std::string> ports, bool supervisor) {
    CQuorlinDlg::Options options;
    options.configPath.clear();
    options.ports = std::move(ports);
    options.startSupervisor = supervisor;
    return options;
  }

  QTemporaryDir scratch;  // for an image to load
  // The sender writes through the one global channel, so the engine must use it too.
  QuorlinWindow window;
  CQuorlinDlg dlg;
};

const char kNowhere[] = "/nonexistent/ttyCHARGER";

}  // namespace

class TestWindow : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setApplicationName("charger-updater"); }

  void mainTemplate() {
    const DialogTemplate& dialog = MainDialogTemplate();
    QCOMPARE(dialog.id, ids::kMainDialog);
    QCOMPARE(QString::fromUtf8(dialog.caption), QString("Charger Firmware Updater v1.2"));
    QCOMPARE(dialog.width, 507);
    QCOMPARE(dialog.height, 353);
    QCOMPARE(QString(dialog.fontFace), QString("Arial"));
    QCOMPARE(dialog.fontPoints, 9);
    QCOMPARE(dialog.controls.size(), size_t{38});

    // The status line is row 20; every other ID -1 control comes after it.
    const ControlTemplate* status = FindControl(dialog, ids::kStatic);
    QVERIFY(status != nullptr);
    QCOMPARE(status - dialog.controls.data(), 19);
    QCOMPARE(std::string(status->caption), std::string("The updater is searching... "));
    QCOMPARE(status->kind, ControlKind::Static);
    QVERIFY(FindControl(dialog, 4242) == nullptr);

    const std::vector<int> order = {1,    1001, 1005, 1006,  1012,  1013,  1014,  1015,  1017, 1019,
                                    1020, 1021, 1026, 57618, 1029,  57601, 57616, 57617, 1032, -1,
                                    1045, 1044, -1,   -1,    -1,    -1,    1046,  1028,  1016, 1007,
                                    1047, 1018, 1049, 57619, 57620, 1050,  1051,  -1};
    for (size_t i = 0; i < order.size(); ++i) QCOMPARE(dialog.controls[i].id, order[i]);

    int visible = 0;
    for (const ControlTemplate& c : dialog.controls) visible += c.visible ? 1 : 0;
    QCOMPARE(visible, 24);

    const ControlTemplate* picture = &dialog.controls[37];
    QCOMPARE(picture->kind, ControlKind::Picture);
    QCOMPARE(std::string(picture->caption), std::string("140"));
    QCOMPARE(picture->x, 288);
    QCOMPARE(picture->width, 199);
    QCOMPARE(FindControl(dialog, ids::kOk)->kind, ControlKind::DefPushButton);
    QVERIFY(FindControl(dialog, ids::kExecute)->styles & style::kNoTabStop);
  }

  void captionBlanks_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<int>("blanks");
    QTest::newRow("size") << ids::kImageSize << "Size :" << 42;
    QTest::newRow("name") << ids::kImageName << "Name :" << 38;
    QTest::newRow("charger version") << ids::kChargerVersion << "version :" << 19;
    QTest::newRow("serial") << ids::kChargerSerial << "number :" << 25;
    QTest::newRow("firmware  name") << ids::kImageFirmwareName << "Firmware" << 2;
    QTest::newRow("firmware name dashes") << ids::kImageFirmwareName << "name :" << 20;
    QTest::newRow("image version") << ids::kImageVersion << "version :" << 18;
    QTest::newRow("download hint") << ids::kDownloadHint << "- - - -" << 41;
    QTest::newRow("update hint end") << ids::kUpdateHint << "charger." << 3;
    QTest::newRow("hint line end") << ids::kHintLine << "cable." << 1;
    QTest::newRow("status line end") << ids::kStatic << "searching..." << 1;
  }
  void captionBlanks() {
    QFETCH(int, id);
    QFETCH(QString, prefix);
    QFETCH(int, blanks);
    const std::string caption = FindControl(MainDialogTemplate(), id)->caption;
    QCOMPARE(BlanksAfter(caption, prefix.toStdString()), blanks);
    if (id == ids::kDownloadHint) QVERIFY(caption.ends_with("or open it."));
    if (id != ids::kUpdateHint && id != ids::kHintLine && id != ids::kStatic) {
      QVERIFY(caption.ends_with(id == ids::kDownloadHint ? "it." : "- - / - -"));
    }
  }

  void aboutTemplateAndString() {
    const DialogTemplate& about = AboutDialogTemplate();
    QCOMPARE(QString::fromUtf8(about.caption), QString("About Charger Programmer"));
    QCOMPARE(about.width, 235);
    QCOMPARE(about.height, 55);
    QCOMPARE(QString::fromUtf8(about.fontFace), QString::fromUtf8("宋体"));
    QCOMPARE(about.controls.size(), size_t{3});
    const ControlTemplate* ok = FindControl(about, ids::kOk);
    QCOMPARE(ok->kind, ControlKind::DefPushButton);
    QCOMPARE(ok->x, 178);
    QCOMPARE(ok->width, 50);
    const ControlTemplate* text = &about.controls[1];
    QCOMPARE(std::string(text->caption), std::string("Brelka Charger Programmer"));
    QVERIFY(text->styles & style::kNoPrefix);
    QCOMPARE(about.controls[0].kind, ControlKind::Icon);

    QCOMPARE(std::string(LoadResourceString(ids::kAboutMenuString)),
             std::string("About Charger Programmer(&A)..."));
    QCOMPARE(std::string(LoadResourceString(4242)), std::string());
  }

  // Dialog units map through the font's base units; the logo keeps its own size with its
  // lower-right corner where the template box has it.
  void layout() {
    QuorlinWindow window;
    const DialogUnits units(TemplateFont(MainDialogTemplate()));
    QVERIFY(units.BaseX() >= 4 && units.BaseX() <= 10);
    QVERIFY(units.BaseY() >= 10 && units.BaseY() <= 20);
    QCOMPARE(window.size(), units.Size(507, 353));
    QCOMPARE(window.windowTitle(), QString("Charger Firmware Updater v1.2"));
    QCOMPARE(window.Control(ids::kUpdate)->geometry(), units.Rect(57, 284, 64, 18));
    QCOMPARE(window.Control(ids::kStatic)->geometry(), units.Rect(277, 307, 89, 8));

    QLabel* picture = nullptr;
    for (QLabel* label : window.findChildren<QLabel*>()) {
      if (!label->pixmap().isNull()) picture = label;
    }
    QVERIFY(picture != nullptr);
    QCOMPARE(picture->size(), QSize(348, 152));
    const QRect box = units.Rect(288, 23, 199, 81);
    QCOMPARE(picture->geometry().left() + picture->width(), box.left() + box.width());
    QCOMPARE(picture->geometry().top() + picture->height(), box.top() + box.height());

    QVERIFY(!window.windowIcon().isNull());
    QVERIFY(window.Control(ids::kOk)->property("default").toBool());
  }

  void artwork() {
    const QImage icon = PaintAppIcon();
    QCOMPARE(icon.size(), QSize(32, 32));
    QVERIFY(icon.hasAlphaChannel());
    QCOMPARE(icon.depth(), 32);
    QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);      // a corner stays transparent
    QVERIFY(qAlpha(icon.pixel(16, 16)) > 200);  // the battery is opaque

    const QImage logo = PaintLogo();
    QCOMPARE(logo.size(), QSize(348, 152));
    QCOMPARE(logo.depth(), 24);
    QVERIFY(logo.pixel(5, 5) != logo.pixel(200, 60));  // something is drawn on it
  }

  void hiddenControls() {
    const std::vector<int> serviceOnly = {
        ids::kLogEdit,      ids::kSearchAgain,    ids::kAutoProgram,    ids::kResetCounters,
        ids::kSessionLabel, ids::kExecute,        ids::kSetMbid,        ids::kGetInfo,
        ids::kPortCombo,    ids::kUnusedEdit1013, ids::kUnusedEdit1019, ids::kUnusedEdit57616};
    for (bool service : {false, true}) {
      QuorlinWindow window(service);
      window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&window));
      for (const ControlTemplate& c : MainDialogTemplate().controls) {
        if (c.id == ids::kStatic) continue;
        const bool shouldShow =
            c.visible || (service && std::find(serviceOnly.begin(), serviceOnly.end(), c.id) !=
                                         serviceOnly.end());
        QVERIFY2(window.Control(c.id)->isVisible() == shouldShow,
                 qPrintable(QString("control %1 service %2").arg(c.id).arg(service)));
      }
      // "File to program:" stays hidden even for the technician; the OK button too.
      QLabel* fileLabel = nullptr;
      for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->text() == "File to program:") fileLabel = label;
      }
      QVERIFY(fileLabel != nullptr);
      QVERIFY(!fileLabel->isVisible());
      QVERIFY(!window.Control(ids::kOk)->isVisible());
      QCOMPARE(window.findChildren<QGroupBox*>().size(), 3);
      for (QGroupBox* group : window.findChildren<QGroupBox*>()) QVERIFY(group->isVisible());
    }
  }

  void statusLineById() {
    QuorlinWindow window;
    QLabel* fileLabel = nullptr;
    for (QLabel* label : window.findChildren<QLabel*>()) {
      if (label->text() == "File to program:") fileLabel = label;
    }
    window.SetText(ids::kStatic, "Ready to update.");
    QCOMPARE(TextOf(window.Control(ids::kStatic)), QString("Ready to update."));
    QCOMPARE(window.Control(ids::kStatic)->geometry(),
             DialogUnits(TemplateFont(MainDialogTemplate())).Rect(277, 307, 89, 8));
    QCOMPARE(fileLabel->text(), QString("File to program:"));
    QStringList titles;
    for (QGroupBox* group : window.findChildren<QGroupBox*>()) titles << group->title();
    titles.sort();
    QCOMPARE(titles, QStringList({"Charger", "Firmware file", "Updating on charger"}));
  }

  void textDecoding_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ascii") << QByteArray("Model A  connected.") << "Model A  connected.";
    QTest::newRow("utf-8") << QByteArray("\xE6\x97\xA0\xE6\xB3\x95") << QString::fromUtf8("无法");
    QTest::newRow("latin-1 degree") << QByteArray(
                                           "45\xB0"
                                           "C")
                                    << QString::fromUtf8("45°C");
    QTest::newRow("cut utf-8 sequence") << QByteArray("ab\xC3") << QString::fromUtf8("abÃ");
    QTest::newRow("markup stays text") << QByteArray("<b>SN</b>") << "<b>SN</b>";
  }
  void textDecoding() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    QuorlinWindow window;
    window.SetText(ids::kChargerLine, bytes.toStdString());
    auto* label = qobject_cast<QLabel*>(window.Control(ids::kChargerLine));
    QCOMPARE(label->text(), shown);
    QCOMPARE(label->textFormat(), Qt::PlainText);
  }

  void controlKinds() {
    QuorlinWindow window(true);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto* bar = qobject_cast<QProgressBar*>(window.Control(ids::kProgress));
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QVERIFY(!bar->isTextVisible());
    window.SetProgressPos(34);
    QCOMPARE(bar->value(), 34);
    window.SetProgressPos(101);  // a report above 100 still shows a full bar
    QCOMPARE(bar->value(), 100);
    window.SetProgressRange(0, 100);
    window.SetProgressPos(0);
    QCOMPARE(bar->value(), 0);

    window.AddComboItem(ids::kPortCombo, "/dev/ttyUSB0");
    window.AddComboItem(ids::kPortCombo, "/dev/ttyUSB1");
    window.SelectComboItem(ids::kPortCombo, 0);
    QCOMPARE(qobject_cast<QComboBox*>(window.Control(ids::kPortCombo))->currentText(),
             QString("/dev/ttyUSB0"));

    std::string log;
    for (int i = 0; i < 200; ++i) log += "line " + std::to_string(i) + "\r\n";
    window.SetText(ids::kLogEdit, log);
    window.ScrollToEnd(ids::kLogEdit);
    auto* edit = qobject_cast<QPlainTextEdit*>(window.Control(ids::kLogEdit));
    QVERIFY(edit->isReadOnly());
    QVERIFY(edit->toPlainText().startsWith("line 0\nline 1\n"));
    QVERIFY(edit->verticalScrollBar()->maximum() > 0);
    QCOMPARE(edit->verticalScrollBar()->value(), edit->verticalScrollBar()->maximum());

    window.Enable(ids::kOpen, false);
    QVERIFY(!window.Control(ids::kOpen)->isEnabled());
    window.SetText(ids::kAutoProgram, "Disable AutoProgram");
    QCOMPARE(TextOf(window.Control(ids::kAutoProgram)), QString("Disable AutoProgram"));
    // 36 units cannot hold that caption; the whole of it is still there to read.
    QCOMPARE(window.Control(ids::kAutoProgram)->toolTip(), QString("Disable AutoProgram"));
    QCOMPARE(window.Control(ids::kUpdate)->toolTip(), QString());
  }

  // The hidden OK button, and Enter where no button takes it, end the run like Esc.
  void okCommandEndsWindow() {
    {
      Updater updater({kNowhere});
      updater.dlg.OnInitDialog();
      updater.window.show();
      qobject_cast<QAbstractButton*>(updater.window.Control(ids::kOk))->click();
      QVERIFY(!updater.window.isVisible());
      QCOMPARE(updater.window.result(), int(QDialog::Accepted));
      QVERIFY(updater.window.Detached());
    }
    {
      Updater updater({kNowhere}, true, true);
      updater.dlg.OnInitDialog();
      updater.window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&updater.window));
      updater.window.Control(ids::kLogEdit)->setFocus();
      QTest::keyClick(updater.window.Control(ids::kLogEdit), Qt::Key_Return);
      QVERIFY(!updater.window.isVisible());
      QVERIFY(updater.window.Detached());
    }
  }

  void fileFilters() {
    const QStringList filters =
        QuorlinWindow::NameFilters("Bin Files(*.bin)|*.bin|all files(*.*)|*.*||");
    QCOMPARE(filters, QStringList({"Bin Files(*.bin) (*.bin)", "all files(*.*) (*)"}));
    QCOMPARE(QuorlinWindow::NameFilters(""), filters);
  }

  void messageBoxes_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<QString>("shownCaption");
    QTest::addColumn<int>("icon");
    QTest::newRow("tip") << "Tip" << true << "Tip" << int(QMessageBox::Critical);
    QTest::newRow("plain") << "" << false << "charger-updater" << int(QMessageBox::Warning);
  }
  // A worker's message box blocks the worker until the operator dismisses it.
  void messageBoxes() {
    QFETCH(QString, caption);
    QFETCH(bool, stop);
    QFETCH(QString, shownCaption);
    QFETCH(int, icon);
    QuorlinWindow window;
    window.show();
    QString seenTitle;
    QString seenText;
    int seenIcon = -1;
    bool onlyOk = false;
    DismissNextModal([&](QDialog* dialog) {
      auto* box = qobject_cast<QMessageBox*>(dialog);
      QVERIFY(box != nullptr);
      seenTitle = box->windowTitle();
      seenText = box->text();
      seenIcon = box->icon();
      onlyOk = box->buttons().size() == 1 && box->button(QMessageBox::Ok) != nullptr;
    });
    std::atomic<bool> returned{false};
    std::thread worker([&] {
      window.MessageBox("Invalid wetside.", caption.toStdString(),
                        stop ? MessageIcon::Stop : MessageIcon::None);
      returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned, 10000);
    worker.join();
    QCOMPARE(seenTitle, shownCaption);
    QCOMPARE(seenText, QString("Invalid wetside."));
    QCOMPARE(seenIcon, icon);
    QVERIFY(onlyOk);
  }

  // The serial channel's Chinese texts are read by people: a message box draws their glyphs.
  // Without a font that has them every character is the same empty box, so the text and its
  // reverse would look alike.
  void chineseMessageShowsGlyphs() {
    QuorlinWindow window;
    window.show();
    const QString text = QStringLiteral("无法按当前参数配置端口");
    QString reversed = text;
    std::reverse(reversed.begin(), reversed.end());
    std::vector<QImage> shots;
    for (const QString& shown : {text, reversed}) {
      const size_t before = shots.size();
      DismissNextModal([&](QDialog* dialog) { shots.push_back(dialog->grab().toImage()); });
      std::thread worker([&] { window.MessageBox(shown.toStdString()); });
      QTRY_COMPARE_WITH_TIMEOUT(shots.size(), before + 1, 10000);
      worker.join();
    }
    QCOMPARE(shots[0].size(), shots[1].size());
    QVERIFY2(shots[0] != shots[1], "the Chinese text is drawn without glyphs");
  }

  // One worker's changes land in the order it makes them, each before its call returns.
  void workerChangesInOrder() {
    QuorlinWindow window;
    auto* bar = qobject_cast<QProgressBar*>(window.Control(ids::kProgress));
    std::vector<int> seen;
    std::atomic<int> shown{0};
    connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
      seen.push_back(value);
      shown = value;
    });
    std::atomic<bool> appliedBeforeReturn{true};
    std::atomic<bool> finished{false};
    std::thread worker([&] {
      for (int i = 1; i <= 100; ++i) {
        window.SetProgressPos(i);
        if (shown != i) appliedBeforeReturn = false;
        window.SetText(ids::kPercent, std::to_string(i) + "%");
      }
      finished = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(finished, 20000);
    worker.join();
    QVERIFY(appliedBeforeReturn);
    std::vector<int> expected(100);
    for (int i = 0; i < 100; ++i) expected[i] = i + 1;
    QCOMPARE(seen, expected);
    QCOMPARE(TextOf(window.Control(ids::kPercent)), QString("100%"));
  }

  // A worker waiting for a GUI thread that is busy elsewhere gets out when the window is
  // detached; the change it asked for never lands, and its queued call dies with the window.
  void detachReleasesBlockedWorker() {
    auto window = std::make_unique<QuorlinWindow>();
    auto* label = qobject_cast<QLabel*>(window->Control(ids::kChargerLine));
    std::atomic<bool> returned{false};
    std::thread worker([&] {
      window->SetText(ids::kChargerLine, "late");
      returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // GUI thread not serving
    QVERIFY(!returned);
    QElapsedTimer clock;
    clock.start();
    window->Detach();
    worker.join();
    QVERIFY(clock.elapsed() < 1000);
    QCoreApplication::processEvents();
    QCOMPARE(label->text(), QString("No charger connected."));
    window->SetText(ids::kChargerLine, "after");
    QCOMPARE(label->text(), QString("No charger connected."));
    window.reset();
    QCoreApplication::processEvents();
  }

  void startUpState() {
    Updater updater({kNowhere}, false);
    QVERIFY(updater.dlg.OnInitDialog());
    QuorlinWindow& window = updater.window;
    for (int id : {ids::kUpdate, ids::kDownload, ids::kSearchAgain, ids::kAutoProgram}) {
      QVERIFY2(!window.Control(id)->isEnabled(), qPrintable(QString::number(id)));
    }
    QVERIFY(window.Control(ids::kOpen)->isEnabled());
    QCOMPARE(TextOf(window.Control(ids::kChargerLine)), QString("No charger connected. "));
    QCOMPARE(TextOf(window.Control(ids::kCountLine)), QString("===  0 succeeded === 0 failed ==="));
    QCOMPARE(TextOf(window.Control(ids::kSessionLabel)), QString());
    QCOMPARE(TextOf(window.Control(ids::kPercent)), QString());
    QCOMPARE(TextOf(window.Control(ids::kStatic)), QString("The updater is searching... "));
    QCOMPARE(TextOf(window.Control(ids::kHintLine)),
             QString("Connect your charger to this PC with USB cable. "));
    window.show();
    QTest::qWait(300);
    QCOMPARE(TextOf(window.Control(ids::kCountLine)), QString("===  0 succeeded === 0 failed ==="));
  }

  void countLineAfterFirstRefresh() {
    Updater updater({kNowhere});
    updater.dlg.OnInitDialog();
    updater.window.show();
    QTRY_COMPARE_WITH_TIMEOUT(TextOf(updater.window.Control(ids::kCountLine)),
                              QString("===  0 succeeded ===  0 failed ==="), 5000);
    QCOMPARE(TextOf(updater.window.Control(ids::kStatic)), QString("The updater is searching... "));
  }

  // Buttons, hidden or not, reach the engine's handlers; the About entry ends the menu.
  void commandsReachEngine() {
    Updater updater({kNowhere}, false, true);
    updater.dlg.OnInitDialog();
    updater.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&updater.window));

    updater.dlg.m_nSucceeded = 3;
    updater.dlg.m_nFailed = 2;
    QTest::mouseClick(updater.window.Control(ids::kResetCounters), Qt::LeftButton);
    QCOMPARE(updater.dlg.m_nSucceeded.load(), 0);
    QCOMPARE(updater.dlg.m_nFailed.load(), 0);

    QString boxText;
    DismissNextModal([&](QDialog* dialog) {
      if (auto* box = qobject_cast<QMessageBox*>(dialog)) boxText = box->text();
    });
    updater.window.Control(ids::kAutoProgram)->setEnabled(true);
    QTest::mouseClick(updater.window.Control(ids::kAutoProgram), Qt::LeftButton);
    QCOMPARE(boxText, QString("Please open the binary file first!"));
    QCOMPARE(TextOf(updater.window.Control(ids::kAutoProgram)), QString("Enable AutoProgram"));

    std::unique_ptr<QMenu> menu(updater.window.CreateSystemMenu());
    const QList<QAction*> actions = menu->actions();
    QVERIFY(actions.size() >= 2);
    QVERIFY(actions[actions.size() - 2]->isSeparator());
    QCOMPARE(actions.back()->text(), QString("About Charger Programmer(&A)..."));
    int separators = 0;
    for (QAction* action : actions) separators += action->isSeparator() ? 1 : 0;
    QCOMPARE(separators, 1);

    QString aboutTitle;
    QStringList aboutText;
    QSize aboutIcon;
    DismissNextModal([&](QDialog* dialog) {
      QVERIFY(qobject_cast<CAboutDlg*>(dialog) != nullptr);
      aboutTitle = dialog->windowTitle();
      for (QLabel* label : dialog->findChildren<QLabel*>()) {
        if (!label->pixmap().isNull()) aboutIcon = label->pixmap().size();
        if (!label->text().isEmpty()) aboutText << label->text();
      }
    });
    actions.back()->trigger();
    QCOMPARE(aboutTitle, QString("About Charger Programmer"));
    QCOMPARE(aboutText, QStringList({"Brelka Charger Programmer",
                                     QString("Version ") + kChargerUpdaterVersion}));
    QCOMPARE(aboutIcon, QSize(32, 32));
  }

  // The close box during a probe's two-second wait: the window goes at once.
  void closeWhileProbing() {
    FakeCharger charger(false, 0);
    QVERIFY(!charger.Port().empty());
    Updater updater({charger.Port()});
    updater.dlg.OnInitDialog();
    updater.window.show();
    QTRY_VERIFY_WITH_TIMEOUT(charger.Probes() > 0, 5000);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(updater.window.close());
    QVERIFY(clock.elapsed() < 1000);
    QVERIFY(!updater.window.isVisible());
    QVERIFY(updater.window.Detached());
  }

  // A charger found and an image loaded: "Update" is ready and the search is over.
  static bool ReadyToUpdate(Updater& updater) {
    const std::string image = updater.scratch.filePath("fw.bin").toStdString();
    {
      std::ofstream out(image, std::ios::binary);
      for (int i = 0; i < 3000; ++i) out.put(static_cast<char>(i * 7));
    }
    updater.dlg.OnInitDialog();
    updater.dlg.m_strImagePath.Set(image);
    updater.dlg.LoadImage();
    updater.window.show();
    if (!QTest::qWaitForWindowExposed(&updater.window)) return false;
    QWidget* update = updater.window.Control(ids::kUpdate);
    if (!QTest::qWaitFor([&] { return update->isEnabled(); }, 10000)) return false;
    // The search resets the session when it adopts the port; start after that.
    return QTest::qWaitFor([&] { return updater.dlg.m_bSearching == 0; }, 5000);
  }

  void fullUpdateShowsSuccess() {
    FakeCharger charger(true, 1000);
    QVERIFY(!charger.Port().empty());
    Updater updater({charger.Port()});
    QVERIFY(ReadyToUpdate(updater));
    QuorlinWindow& window = updater.window;
    QCOMPARE(TextOf(window.Control(ids::kChargerLine)), QString("Model A  connected."));
    QCOMPARE(TextOf(window.Control(ids::kChargerSerial)),
             QString("Serial number :       12345678"));
    QCOMPARE(TextOf(window.Control(ids::kChargerVersion)), QString("Firmware version :  V12"));

    QTest::mouseClick(window.Control(ids::kUpdate), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(TextOf(window.Control(ids::kStatic)), QString("Update succeeded. "),
                              20000);
    QCOMPARE(charger.DataBlocks(), 3);
    QCOMPARE(charger.BatchesEnded(), 1);
    QCOMPARE(qobject_cast<QProgressBar*>(window.Control(ids::kProgress))->value(), 100);
    QCOMPARE(TextOf(window.Control(ids::kPercent)), QString("100%"));
    QCOMPARE(TextOf(window.Control(ids::kSessionLabel)), QString("Program succeeded."));
    QCOMPARE(TextOf(window.Control(ids::kHintLine)),
             QString("Disconnet the charger and connect new one."));
    QTRY_COMPARE_WITH_TIMEOUT(TextOf(window.Control(ids::kCountLine)),
                              QString("===  1 succeeded ===  0 failed ==="), 5000);
    QVERIFY(window.Control(ids::kOpen)->isEnabled());
  }

  // Through a job: its name in the caption, its image loaded for good with "Open..." off, and a
  // charger its guards refuse shown refused, with the reason, and never programmed; one they
  // let through is programmed as ever.
  void runsThroughAJob() {
    QTemporaryDir dir;
    {
      std::ofstream out(dir.filePath("fw.bin").toStdString(), std::ios::binary);
      for (int i = 0; i < 3000; ++i) out.put(static_cast<char>(i * 7));
    }
    const std::string jobPath = dir.filePath("job.ini").toStdString();
    for (const std::string models : {"QC-2410*", "Model ?"}) {
      std::ofstream(jobPath) << "[Job]\nName=Line 4 job\nImage=fw.bin\nModels=" << models << "\n";
      FakeCharger charger(true, 1000);
      Updater updater({charger.Port()});
      std::optional<Job> job;
      QCOMPARE(QString::fromStdString(ApplyJob(updater.dlg, "", jobPath, &job)), QString());
      updater.dlg.OnInitDialog();
      QuorlinWindow& window = updater.window;
      window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&window));
      QVERIFY(window.windowTitle().endsWith(" - Line 4 job"));
      QVERIFY(!window.Control(ids::kOpen)->isEnabled());
      QCOMPARE(TextOf(window.Control(ids::kImageName)), QString("Name : fw.bin"));
      if (models == "QC-2410*") {
        QTRY_COMPARE_WITH_TIMEOUT(TextOf(window.Control(ids::kStatic)),
                                  QString("Charger refused. "), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(
            TextOf(window.Control(ids::kHintLine)),
            QString("charger 'Model A' is not a model this image is for (QC-2410*)."), 5000);
        QVERIFY(!window.Control(ids::kUpdate)->isEnabled());
        updater.dlg.StartProgramming();
        QTest::qWait(500);
        QCOMPARE(charger.DataBlocks(), 0);
        continue;
      }
      QTRY_VERIFY_WITH_TIMEOUT(window.Control(ids::kUpdate)->isEnabled(), 10000);
      QTRY_VERIFY_WITH_TIMEOUT(updater.dlg.m_bSearching == 0, 5000);
      QTest::mouseClick(window.Control(ids::kUpdate), Qt::LeftButton);
      QTRY_COMPARE_WITH_TIMEOUT(TextOf(window.Control(ids::kStatic)), QString("Update succeeded. "),
                                20000);
      QVERIFY(!window.Control(ids::kOpen)->isEnabled());
    }
  }

  // Esc in the middle of a transfer asks first, No the default: No keeps the transfer going,
  // Yes closes the window within a second, the transfer cancelled and the port let go.
  void closeMidTransfer() {
    FakeCharger charger(true, 1);
    QVERIFY(!charger.Port().empty());
    Updater updater({charger.Port()});
    QVERIFY(ReadyToUpdate(updater));
    QuorlinWindow& window = updater.window;
    QTest::mouseClick(window.Control(ids::kUpdate), Qt::LeftButton);
    auto* bar = qobject_cast<QProgressBar*>(window.Control(ids::kProgress));
    // Block 2 of 3 is out and never acknowledged.
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 34, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(charger.DataBlocks(), 2, 5000);
    QCOMPARE(updater.dlg.m_bProgramming.load(), 1);
    QCOMPARE(TextOf(window.Control(ids::kPercent)), QString("34%"));

    for (bool yes : {false, true}) {
      QString question;
      bool noIsDefault = false;
      auto answer = [&, yes](QMessageBox* box) {
        question = box->text();
        noIsDefault = box->defaultButton() == box->button(QMessageBox::No) &&
                      box->escapeButton() == box->button(QMessageBox::No);
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
      };
      auto* poll = new QTimer(&window);
      QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
          poll->stop();
          answer(box);
        }
      });
      poll->start(10);
      QElapsedTimer clock;
      clock.start();
      QTest::keyClick(&window, Qt::Key_Escape);
      QCOMPARE(question, QString("Programming is in progress. Stop it and close the window?"));
      QVERIFY(noIsDefault);
      if (!yes) {
        QVERIFY(window.isVisible());
        QCOMPARE(updater.dlg.m_bProgramming.load(), 1);
        QVERIFY(g_serial.IsOpen());
        continue;
      }
      QVERIFY(clock.elapsed() < 1000);
      QVERIFY(!window.isVisible());
      QVERIFY(!g_serial.IsOpen());
      QCOMPARE(updater.dlg.m_nFailed.load(), 1);
    }
  }

  // Closing asks only while a transfer runs.
  void closeWithoutTransferDoesNotAsk() {
    Updater updater({kNowhere});
    updater.dlg.OnInitDialog();
    updater.window.show();
    QVERIFY(updater.window.close());
    QVERIFY(!updater.window.isVisible());
  }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
