// vr-host --gui: the reference host as a Qt window. Everything the driver
// shows (its settings item, dialog and calibration window) comes from the
// loaded library; the host only hands over its menu bar and main window.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "vr_host.h"

namespace {

struct TankValues {
  double level = 0, density = 0, volume = 0;
  std::array<double, 4> temperature{};
  uint32_t water = 0, link = 0;
};

const char* const kColumns[] = {"Резервуар", "Уровень, мм", "T1",        "T2",       "T3",
                                "T4",        "Вода, мм",    "Плотность", "Объём, л", "Связь"};

class HostWindow : public QMainWindow {
 public:
  HostWindow(int first, int last) : first_(first) {
    setWindowTitle(QStringLiteral("vr-host"));
    QMenu* file = menuBar()->addMenu(QStringLiteral("&Файл"));
    file->addAction(QStringLiteral("Выход"), this, &QWidget::close);
    settings_ = menuBar()->addMenu(QStringLiteral("&Настройка"));
    table_ = new QTableWidget(last - first + 1, static_cast<int>(std::size(kColumns)), this);
    QStringList headings;
    for (const char* c : kColumns) headings << QString::fromUtf8(c);
    table_->setHorizontalHeaderLabels(headings);
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (int r = 0; r < table_->rowCount(); ++r)
      table_->setItem(r, 0, new QTableWidgetItem(QString::number(first + r)));
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    setCentralWidget(table_);
    statusBar()->showMessage(QStringLiteral("Опрос уровнемера…"));
    resize(760, 120 + 26 * table_->rowCount());
  }

  QMenu* SettingsMenu() const { return settings_; }

  void ShowTank(int tank, const TankValues& v) {
    const int row = tank - first_;
    auto set = [&](int col, const QString& text) {
      QTableWidgetItem* item = table_->item(row, col);
      if (!item) table_->setItem(row, col, item = new QTableWidgetItem);
      item->setText(text);
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    };
    set(1, QString::number(v.level, 'f', 2));
    for (int k = 0; k < 4; ++k) set(2 + k, QString::number(v.temperature[k], 'f', 2));
    set(6, QString::number(v.water));
    set(7, QString::number(v.density, 'f', 4));
    set(8, QString::number(v.volume, 'f', 2));
    set(9, v.link == 1 ? QStringLiteral("есть") : QStringLiteral("нет (%1)").arg(v.link));
  }

 private:
  int first_;
  QMenu* settings_;
  QTableWidget* table_;
};

// Reads every tank once a second on its own thread: a silent gauge costs up to
// nine seconds per value, which the window must not wait for.
class TankReader {
 public:
  TankReader(VrSilo* silo, int first, int last, HostWindow* window)
      : silo_(silo), first_(first), last_(last), window_(window) {}
  ~TankReader() { Stop(); }

  void Start(std::function<void()> onPass) {
    on_pass_ = std::move(onPass);
    thread_ = std::thread([this] { Run(); });
  }
  // Waits for the slot call in progress, if any, to return.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  bool Stopped() {
    std::lock_guard<std::mutex> lock(mu_);
    return stop_;
  }
  template <typename F>
  F Slot(int index) const {
    return VRSILO_SLOT(silo_, F, index);
  }

  void Run() {
    while (!Stopped()) {
      for (int tank = first_; tank <= last_ && !Stopped(); ++tank) {
        const uint32_t i = static_cast<uint32_t>(tank - 1);
        TankValues v;
        v.level = Slot<VrGetDoubleFn>(VRSILO_SLOT_GET_LEVEL)(silo_, i);
        if (Stopped()) return;
        Slot<VrGetTemperaturesFn>(VRSILO_SLOT_GET_TEMPERATURES)(silo_, i, v.temperature.data());
        if (Stopped()) return;
        v.water = Slot<VrGetWaterFn>(VRSILO_SLOT_GET_WATER)(silo_, i);
        if (Stopped()) return;
        v.density = Slot<VrGetDoubleFn>(VRSILO_SLOT_GET_DENSITY)(silo_, i);
        if (Stopped()) return;
        v.volume = Slot<VrGetDoubleFn>(VRSILO_SLOT_GET_VOLUME)(silo_, i);
        v.link = Slot<VrGetLinkStateFn>(VRSILO_SLOT_GET_LINK_STATE)(silo_);
        HostWindow* w = window_;
        QMetaObject::invokeMethod(
            w, [w, tank, v] { w->ShowTank(tank, v); }, Qt::QueuedConnection);
      }
      if (on_pass_) QMetaObject::invokeMethod(window_, on_pass_, Qt::QueuedConnection);
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; });
    }
  }

  VrSilo* silo_;
  int first_, last_;
  HostWindow* window_;
  std::function<void()> on_pass_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
};

bool Grab(QWidget* w, const QString& dir, const char* name) {
  const QString path = QDir(dir).filePath(QString::fromLatin1(name));
  const bool ok = w && w->grab().save(path);
  std::printf("%s %s\n", ok ? "saved" : "could not save", path.toLocal8Bit().constData());
  return ok;
}

// The picture tour: the main window, the driver's menu item, its settings
// dialog, and its calibration window after reading tank `tank`.
void Tour(HostWindow& window, const QString& dir, int tank, std::atomic<int>& failures) {
  if (!Grab(&window, dir, "host_window.png")) ++failures;
  QList<QAction*> items = window.SettingsMenu()->actions();
  if (items.isEmpty()) {
    std::fprintf(stderr, "vr-host: the driver added no settings item\n");
    ++failures;
    QApplication::quit();
    return;
  }
  QMenu* menu = window.SettingsMenu();
  menu->popup(window.mapToGlobal(QPoint(0, 0)));
  if (!Grab(menu, dir, "host_menu.png")) ++failures;
  menu->hide();
  // The settings dialog and the calibration window are modal: each step runs
  // from a timer inside the event loop of the window before it.
  QTimer::singleShot(300, [&window, dir, tank, &failures] {
    QWidget* dialog = QApplication::activeModalWidget();
    if (!Grab(dialog, dir, "host_settings.png")) ++failures;
    auto* grad = dialog ? dialog->findChild<QAbstractButton*>(QStringLiteral("bbtGrad")) : nullptr;
    if (!grad) {
      ++failures;
      if (dialog) dialog->close();
      return;
    }
    QTimer::singleShot(300, [dir, tank, &failures] {
      QWidget* table = QApplication::activeModalWidget();
      auto* box = table ? table->findChild<QComboBox*>(QStringLiteral("cbSiloNum2")) : nullptr;
      if (!box) {
        ++failures;
        if (table) table->close();
        return;
      }
      box->setCurrentIndex(tank - 1);
      emit box->activated(tank - 1);
      QTimer::singleShot(3000, [table, dir, &failures] {
        if (!Grab(table, dir, "host_calibration.png")) ++failures;
        table->close();
      });
    });
    grad->click();  // returns when the calibration window has closed
    dialog->close();
  });
  items.back()->trigger();  // returns when the settings dialog has closed
  window.close();
}

}  // namespace

int RunGui(int& argc, char** argv, const vr::tools::DriverLibrary& library, const GuiOptions& o) {
  QApplication app(argc, argv);
  HostWindow window(o.first, o.last);
  const auto owner = reinterpret_cast<uintptr_t>(static_cast<QWidget*>(&window));
  VrSilo* silo = nullptr;
  if (o.port > 0)
    silo = library.ex3(nullptr, o.port, 0);
  else if (o.block > 0)
    silo = library.ex3(nullptr, o.block, 1);
  else
    silo = library.ex2(nullptr, 0, owner);
  if (!silo) return 2;

  char identity[VRSILO_IDENTITY_SIZE];
  VRSILO_SLOT(silo, VrGetIdentityFn, VRSILO_SLOT_GET_IDENTITY)(identity, silo);
  std::string version(identity + 1, identity + 1 + static_cast<unsigned char>(identity[0]));
  window.setWindowTitle(
      QStringLiteral("vr-host — драйвер %1")
          .arg(QString::fromLatin1(version.substr(0, version.find('#')).c_str())));

  // Slot 15 takes the menu bar; the driver puts its item under "&Настройка".
  VRSILO_SLOT(silo, VrAddMenuItemFn, VRSILO_SLOT_ADD_MENU_ITEM)
  (silo, static_cast<QWidget*>(window.menuBar()), 0);
  window.show();

  std::atomic<int> failures{0};
  TankReader reader(silo, o.first, o.last, &window);
  bool toured = false;
  reader.Start([&] {
    window.statusBar()->showMessage(QStringLiteral("Обновлено"), 2000);
    if (!o.screenshots.empty() && !toured) {
      toured = true;
      Tour(window, QString::fromStdString(o.screenshots), o.first, failures);
    }
  });
  const int status = app.exec();
  reader.Stop();
  VRSILO_DESTROY(silo);
  // The driver's menu item is deleted through the event loop.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return status != 0 ? status : (failures.load() != 0 ? 1 : 0);
}
