// The station's Qt window: what it draws from the station's model, fed from another thread as
// the conductor feeds it.
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_charger.h"
#include "station/station.h"
#include "ui/qt/station_window.h"

namespace {

MenuReply Charger(int n) {
  return MenuReply{"QC-2410 Smart Charger", "SN" + std::to_string(1000 + n), "V12"};
}

SessionRecord Result(const std::string& result, int n, const std::string& reason = "") {
  SessionRecord record;
  record.charger = "QC-2410 Smart Charger";
  record.serial = "SN" + std::to_string(1000 + n);
  record.versionBefore = "V12";
  record.result = result;
  record.reason = reason;
  record.durationMs = 4321;
  return record;
}

QColor RowBackground(QTableWidget* table, int row) {
  return table->item(row, 0)->background().color();
}

QColor Rgb(uint32_t rgb) {
  return QColor(static_cast<int>(rgb >> 16), static_cast<int>((rgb >> 8) & 0xFF),
                static_cast<int>(rgb & 0xFF));
}

}  // namespace

class TestStationWindow : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;

  std::unique_ptr<Station> OpenStation(int ports, std::vector<std::string> names = {}) {
    Station::Options options;
    for (int i = 0; i < ports; ++i)
      options.run.ports.push_back(m_dir.filePath(QStringLiteral("tty%1").arg(i)).toStdString());
    if (!names.empty()) options.run.ports = names;
    options.workerProgram = CLI_PATH;
    options.configPath = m_dir.filePath(QStringLiteral("config.ini")).toStdString();
    const std::string image = m_dir.filePath(QStringLiteral("fw_v20.bin")).toStdString();
    std::string bytes(40960, '\x5a');
    bytes.replace(64, 8, std::string("INFO\0V20", 8));
    std::ofstream(image, std::ios::binary) << bytes;
    options.run.image = image;
    std::string problem;
    int status = 0;
    auto station = Station::Open(options, &problem, &status);
    if (!station) qWarning("%s", problem.c_str());
    return station;
  }

 private slots:
  // 32 ports, every one busy from the conductor's thread: all drawn, coloured by their state,
  // the totals large above them, and the list scrolls.
  void thirtyTwoRowsFromAnotherThread() {
    auto station = OpenStation(32);
    QVERIFY(station);
    StationWindow window(*station);
    window.show();
    QTableWidget* table = window.Table();
    QCOMPARE(table->rowCount(), 32);
    QCOMPARE(table->item(0, 0)->text(), QString::fromStdString(station->Ports()[0]));
    QCOMPARE(table->item(31, 1)->text(), QStringLiteral("waiting"));

    StationModel& model = station->Model();
    std::thread conductor([&model] {
      const auto now = StationModel::Clock::now();
      for (int i = 0; i < 32; ++i) {
        model.PortState(static_cast<size_t>(i), "connected", Charger(i), now);
        if (i % 4 == 3) continue;  // left waiting to be programmed
        model.PortState(static_cast<size_t>(i), "programming", Charger(i), now);
        for (int percent = 0; percent <= 50; percent += 10)
          model.Progress(static_cast<size_t>(i), percent);
        if (i % 4 == 0) model.SessionEnded(static_cast<size_t>(i), Result("succeeded", i));
        if (i % 4 == 1)
          model.SessionEnded(static_cast<size_t>(i), Result("failed", i, "lost the charger"));
      }
    });
    conductor.join();

    QTRY_COMPARE(table->item(31, 1)->text(), QStringLiteral("found"));
    QTRY_COMPARE(table->item(2, 1)->text(), QStringLiteral("programming 50 %"));
    QCOMPARE(table->item(0, 1)->text(), QStringLiteral("passed"));
    QCOMPARE(table->item(0, 3)->text(), QStringLiteral("SN1000"));
    QCOMPARE(table->item(0, 6)->text(), QStringLiteral("4.3 s"));
    QCOMPARE(table->item(1, 1)->text(), QStringLiteral("failed"));
    QCOMPARE(table->item(1, 7)->text(), QStringLiteral("lost the charger"));
    QCOMPARE(RowBackground(table, 0), Rgb(PaintOf(RowColour::Green).background));
    QCOMPARE(RowBackground(table, 1), Rgb(PaintOf(RowColour::Red).background));
    QCOMPARE(RowBackground(table, 2), Rgb(PaintOf(RowColour::Busy).background));
    QCOMPARE(RowBackground(table, 3), Rgb(PaintOf(RowColour::Plain).background));
    QTRY_COMPARE(window.Total(0)->text(), QStringLiteral("8"));
    QCOMPARE(window.Total(1)->text(), QStringLiteral("8"));
    QCOMPARE(window.Total(3)->text(), QStringLiteral("50.0 %"));
    // The totals are large enough to read from across the bench.
    QVERIFY(window.Total(0)->font().pointSizeF() >= 2.5 * table->font().pointSizeF() / 1.35);
    QVERIFY(table->verticalScrollBar()->maximum() > 0);
  }

  // Progress pours in faster than the eye can follow: the window draws at its own pace and
  // still ends on the last figure.
  void progressBurstEndsOnTheLastFigure() {
    auto station = OpenStation(1);
    QVERIFY(station);
    StationWindow window(*station);
    window.show();
    StationModel& model = station->Model();
    model.PortState(0, "programming", Charger(0), StationModel::Clock::now());
    std::thread conductor([&model] {
      for (int round = 0; round < 50; ++round)
        for (int percent = 0; percent <= 100; ++percent) model.Progress(0, percent);
      model.Progress(0, 70);
    });
    conductor.join();
    QTRY_COMPARE(window.Table()->item(0, 1)->text(), QStringLiteral("programming 70 %"));
  }

  void headerAndButtons() {
    auto station = OpenStation(2);
    QVERIFY(station);
    StationWindow window(*station);
    window.show();
    QVERIFY(window.StartButton()->isEnabled());
    QVERIFY(!window.StopButton()->isEnabled());
    const QString title = window.findChildren<QLabel*>().first()->text();
    QCOMPARE(title, QStringLiteral("fw_v20.bin"));
  }

  // Closing while a charger is being programmed asks first; No keeps the transfer going, Yes
  // cancels it (the charger gets CAN) and the window goes once the port has let go.
  void closeAsksWhileATransferRuns() {
    chargersim::SimCharger sim;
    chargersim::Options slow;
    slow.baud = 9600;  // 4 s a block
    slow.linkPath = m_dir.filePath(QStringLiteral("slow")).toStdString();
    QVERIFY(sim.Start(slow));
    auto station = OpenStation(1, {slow.linkPath});
    QVERIFY(station);
    StationWindow window(*station);
    window.show();
    QVERIFY(window.StartButton()->isEnabled());
    window.StartButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(station->Model().Busy(), 1, 15000);

    auto answer = [](QMessageBox::StandardButton button) {
      QTimer::singleShot(200, [button] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
          box->button(button)->click();
      });
    };
    answer(QMessageBox::No);
    window.close();
    QVERIFY(window.isVisible());
    QCOMPARE(station->Model().GetRun(), StationModel::Run::Running);

    answer(QMessageBox::Yes);
    window.close();
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 20000);
    QCOMPARE(station->Model().GetRun(), StationModel::Run::Stopped);
    QVERIFY(sim.WaitForSessions(1, std::chrono::milliseconds(5000)));
    QCOMPARE(QString::fromStdString(sim.Sessions().front().failure),
             QStringLiteral("cancelled by the sender"));
    QCOMPARE(station->Model().GetTotals().cancelled, 1);
  }
};

QTEST_MAIN(TestStationWindow)
#include "test_station_window.moc"
