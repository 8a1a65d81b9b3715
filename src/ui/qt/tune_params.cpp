#include "ui/qt/tune_params.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QShowEvent>
#include <QThread>
#include <exception>
#include <map>
#include <mutex>

#include "common/application.h"
#include "driver/silo.h"
#include "ui/model/tune_params_model.h"
#include "ui/qt/glyphs.h"
#include "ui/qt/grad_table.h"
#include "ui/qt/table_thread.h"
#include "ui/qt/widgets.h"

namespace vr::ui {
namespace {

// The settings item of each driver object that added one.
std::mutex g_items_mu;
std::map<const TSilo*, QPointer<QAction>> g_items;

bool OnUiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

template <typename F>
void Guarded(F&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    App().ReportError(e.what());
  }
}

}  // namespace

void CenterOnScreen(QWidget* window) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect area = screen->availableGeometry();
  window->move(area.center() - window->rect().center());
}

TfmTuneParams::TfmTuneParams(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fmTuneParams"));
  setWindowTitle(QStringLiteral("Параметры Veeder-Root"));
  setFont(DialogFont());
  setFixedSize(352, 146);

  Label16 = new QLabel(QStringLiteral("Период обновления измеренных параметров, с:"), this);
  Label16->setObjectName(QStringLiteral("Label16"));
  Label16->move(9, 16);
  Label16->adjustSize();
  Label17 = new QLabel(QStringLiteral("Уровнемер подключен к:"), this);
  Label17->setObjectName(QStringLiteral("Label17"));
  Label17->move(64, 56);
  Label17->adjustSize();
  Bevel1 = SunkenLine(this);
  Bevel1->setObjectName(QStringLiteral("Bevel1"));
  Bevel1->setGeometry(8, 95, 337, 2);

  seCriticalTime = new TRxSpinEdit(this);
  seCriticalTime->setObjectName(QStringLiteral("seCriticalTime"));
  seCriticalTime->setGeometry(264, 16, 81, 21);
  seCriticalTime->SetRange(0, 600);
  seCriticalTime->SetIncrement(1);
  seCriticalTime->SetValue(0);

  cbConnetionType = new QComboBox(this);
  cbConnetionType->setObjectName(QStringLiteral("cbConnetionType"));
  cbConnetionType->setGeometry(200, 56, 145, 21);
  for (const char* name : kConnectionNames) cbConnetionType->addItem(QString::fromUtf8(name));

  bbtSave = GlyphButton(this, "bbtSave", QStringLiteral("OK"), Glyph::kCheck, 152, 112, 89, 25);
  bbtSave->setAutoDefault(true);
  bbtSave->setDefault(true);
  bbtCancel =
      GlyphButton(this, "bbtCancel", QStringLiteral("Отмена"), Glyph::kCross, 256, 112, 89, 25);
  bbtGrad = GlyphButton(this, "bbtGrad", QStringLiteral("Градуировка"), Glyph::kTableWindow, 8, 112,
                        97, 25);

  QWidget::setTabOrder(seCriticalTime, cbConnetionType);
  QWidget::setTabOrder(cbConnetionType, bbtSave);
  QWidget::setTabOrder(bbtSave, bbtCancel);
  QWidget::setTabOrder(bbtCancel, bbtGrad);

  connect(bbtSave, &QPushButton::clicked, this, [this] { Guarded([this] { bbtSaveClick(); }); });
  connect(bbtCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(bbtGrad, &QPushButton::clicked, this, [this] { Guarded([this] { bbtGradClick(); }); });

  CenterOnScreen(this);
}

void TfmTuneParams::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) Guarded([this] { FormShow(); });
  QDialog::showEvent(event);
}

void TfmTuneParams::FormShow() {
  if (!Driver) return;
  const TuneParamsValues shown = ShownTuneParams(*Driver);
  seCriticalTime->SetValue(shown.seconds);
  cbConnetionType->setCurrentIndex(shown.connectionIndex);
}

void TfmTuneParams::bbtSaveClick() {
  // A failed write raises: nothing is applied and the dialog stays.
  SaveTuneParams(Driver, cbConnetionType->currentIndex(), seCriticalTime->Value());
  accept();
}

void TfmTuneParams::bbtGradClick() {
  TfmGradTable window;
  window.Driver = Driver;
  window.exec();
}

// ---------------------------------------------------------------------------

void SettingsItemClick(TSilo* silo) {
  TfmTuneParams dialog;
  dialog.Driver = silo;
  dialog.exec();
}

void AddSettingsMenuItem(TSilo* silo, void* menu) {
  if (!menu || !silo || !OnUiThread() || !qobject_cast<QApplication*>(QCoreApplication::instance()))
    return;
  // Only a live widget of this application is used; any other pointer (a
  // host without Qt, a stale menu) adds nothing. No pointer is followed here.
  auto* host = static_cast<QWidget*>(menu);
  if (!QApplication::allWidgets().contains(host)) return;
  for (QAction* found : host->actions()) {
    QMenu* submenu = found->menu();
    if (!submenu || found->text() != QStringLiteral("&Настройка")) continue;
    QObject* owner = found->parent() ? found->parent() : submenu;
    auto* item =
        new QAction(QString::fromStdString(SettingsItemCaption(silo->GetConnectionType())), owner);
    item->setObjectName(QStringLiteral("VeederRootSettingsItem"));
    item->setStatusTip(QStringLiteral("Настройка Veeder-Root"));
    QObject::connect(item, &QAction::triggered, item,
                     [silo] { Guarded([silo] { SettingsItemClick(silo); }); });
    submenu->addAction(item);
    std::lock_guard<std::mutex> lock(g_items_mu);
    g_items[silo] = item;
    return;
  }
}

void ReleaseDriver(TSilo* silo) {
  WaitDriverIdle(silo);
  QPointer<QAction> item;
  {
    std::lock_guard<std::mutex> lock(g_items_mu);
    auto it = g_items.find(silo);
    if (it != g_items.end()) {
      item = it->second;
      g_items.erase(it);
    }
  }
  const bool ui = OnUiThread();
  if (ui && qobject_cast<QApplication*>(QCoreApplication::instance())) {
    // Windows still open for this driver lose it and close.
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* d = qobject_cast<TfmTuneParams*>(w); d && d->Driver == silo) {
        d->Driver = nullptr;
        d->reject();
      } else if (auto* g = qobject_cast<TfmGradTable*>(w); g && g->Driver == silo) {
        g->Driver = nullptr;
        g->reject();
      }
    }
  }
  if (!item) return;
  QObject::disconnect(item, &QAction::triggered, nullptr, nullptr);
  if (ui) {
    for (QObject* o : item->associatedObjects())
      if (auto* w = qobject_cast<QWidget*>(o)) w->removeAction(item);
  }
  // Deleted later: the item may be the sender of the click that got here.
  item->deleteLater();
}

}  // namespace vr::ui
