#pragma once
// Helpers of the window tests: answered file dialogs, a chosen number locale,
// waiting with events running, and a driver object whose serial port is
// answered in-process by the gauge simulator.
#include <QApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <QThread>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "driver/silo.h"
#include "fake_comm_block.h"
#include "fake_serial_device.h"
#include "link/serial_device.h"
#include "link/urovn.h"
#include "silo_test_access.h"
#include "simulator.h"
#include "test_support.h"
#include "ui/qt/file_dialogs.h"

// Readable QStrings in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}

namespace vr::test {

// Answers the file dialogs in order and records what was asked.
class ScriptedDialogs : public ui::FileDialogs {
 public:
  ScriptedDialogs() { ui::SetFileDialogs(this); }
  ~ScriptedDialogs() override { ui::SetFileDialogs(nullptr); }
  std::optional<QString> Execute(QWidget*, const ui::TFileDialog& dialog) override {
    asked.push_back(dialog);
    if (answers.empty()) return std::nullopt;
    std::optional<QString> a = answers.front();
    answers.pop_front();
    return a;
  }
  std::deque<std::optional<QString>> answers;
  std::vector<ui::TFileDialog> asked;
};

// The number locale of the windows for the life of the object.
class ScopedLocale {
 public:
  explicit ScopedLocale(const QLocale& locale) : old_(QLocale()) { QLocale::setDefault(locale); }
  ~ScopedLocale() { QLocale::setDefault(old_); }

 private:
  QLocale old_;
};

inline QLocale CommaLocale() {
  return QLocale(QLocale::Russian, QLocale::Russia);
}
inline QLocale PointLocale() {
  return QLocale(QLocale::English, QLocale::UnitedStates);
}

// Runs events until pred holds or ms pass; true when it holds.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

// A driver object on COMn whose port is an in-memory device answered by a
// GaugeSim. Tank 1..4 exist in the gauge.
class SimulatedGauge {
 public:
  SimulatedGauge() {
    port_ = std::make_shared<FakeSerialPort>();
    factory_ = std::make_unique<ScopedSerialDeviceFactory>([this](uint16_t n) {
      opened.push_back(n);
      return port_->MakeDevice();
    });
    port_->SetOnWrite([this](const uint8_t* data, size_t n) {
      for (const sim::Answer& a : gauge.Feed(data, n))
        if (!a.silent) port_->InjectInput(a.bytes);
    });
    for (int tank = 1; tank <= 4; ++tank) {
      sim::TankState t;
      t.height = 2000.0f * tank;
      for (int k = 0; k < 20; ++k) t.cal[k] = 100.0f * tank * (k + 1);
      gauge.SetTank(tank, t);
    }
  }
  ~SimulatedGauge() { silo.reset(); }

  TSilo& Open(uint8_t type) {
    silo = std::make_unique<TSilo>(block.Host(), type);
    ShortenTimeout();
    return *silo;
  }
  // Replies are awaited 150 ms instead of 1500 so that silent gauges fail fast.
  void ShortenTimeout() {
    if (TUrovn* link = SiloTestAccess::Link(*silo)) link->SetReplyTimeoutMs(150);
  }
  TUrovn* Link() { return SiloTestAccess::Link(*silo); }
  int OpenDevices() const { return port_->OpenDevices(); }

  sim::GaugeSim gauge;
  FakeCommBlock block;
  std::vector<uint16_t> opened;
  std::unique_ptr<TSilo> silo;

 private:
  std::shared_ptr<FakeSerialPort> port_;
  std::unique_ptr<ScopedSerialDeviceFactory> factory_;
};

}  // namespace vr::test
