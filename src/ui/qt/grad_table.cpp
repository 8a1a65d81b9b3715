#include "ui/qt/grad_table.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QFile>
#include <QGraphicsSimpleTextItem>
#include <QLabel>
#include <QLineSeries>
#include <QShowEvent>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <exception>
#include <vector>

#include "common/application.h"
#include "common/rounding.h"
#include "config/ini_file.h"
#include "config/settings.h"
#include "ui/qt/glyphs.h"
#include "ui/qt/table_thread.h"
#include "ui/qt/tune_params.h"
#include "ui/qt/widgets.h"

namespace vr::ui {

QString SavedEditText;

namespace {

const QColor kConfigSeriesColor(128, 0, 255);

void ShowError(const char* text) {
  App().ShowMessage(text, "Ошибка", MB_OK | MB_ICONERROR);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->move(x, y);
  label->adjustSize();
  return label;
}

TStringGrid* MakeGrid(QWidget* parent, const char* name, int rows, int x, int y) {
  auto* grid = new TStringGrid(parent);
  grid->setObjectName(QString::fromLatin1(name));
  grid->setGeometry(x, y, 193, 366);
  grid->SetColCount(3);
  grid->SetRowCount(rows);
  grid->SetFixed(2, 1);
  return grid;
}

void SetWidths(TStringGrid* grid) {
  grid->SetColWidth(0, 40);
  grid->SetColWidth(1, 70);
  grid->SetColWidth(2, 60);
}

QList<QPointF> ChartSeries(TStringGrid* grid) {
  QList<QPointF> points;
  for (const ChartPoint& p : SeriesPoints(GridCells(grid), LocaleFormat()))
    points.append({p.x, p.y});
  return points;
}

}  // namespace

template <typename F>
void TfmGradTable::Guarded(F&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    App().ReportError(e.what());
  }
}

TfmGradTable::TfmGradTable(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fmGradTable"));
  setWindowTitle(QStringLiteral("Таблица градуировки Veeder-Root"));
  setFont(DialogFont());
  setFixedSize(763, 474);

  Label19 = MakeLabel(this, "Label19", QStringLiteral("Номер уровнемера:"), 10, 11);
  cbSiloNum2 = new QComboBox(this);
  cbSiloNum2->setObjectName(QStringLiteral("cbSiloNum2"));
  cbSiloNum2->setGeometry(115, 11, 65, 21);
  for (int n = 1; n <= 31; ++n) cbSiloNum2->addItem(QString::number(n));
  cbSiloNum2->setCurrentIndex(-1);

  bbtOpenFile = GlyphButton(this, "bbtOpenFile", QStringLiteral("Считать из файла"),
                            Glyph::kOpenSheet, 504, 12, 121, 25);
  bbtSaveFile = GlyphButton(this, "bbtSaveFile", QStringLiteral("Сохранить в файл"), Glyph::kFloppy,
                            632, 12, 121, 25);
  Label4 = MakeLabel(this, "Label4", QStringLiteral("Таблица градуировки уровнемера:"), 304, 43);
  Label5 = MakeLabel(this, "Label5", QStringLiteral("Сравнительная таблица градуировки:"), 560, 43);
  Bevel3 = SunkenLine(this);
  Bevel3->setObjectName(QStringLiteral("Bevel3"));
  Bevel3->setGeometry(8, 48, 289, 2);
  Label22 = MakeLabel(this, "Label22", QStringLiteral("Полная высота резервуара, мм:"), 8, 64);
  seH = new TRxSpinEdit(this);
  seH->setObjectName(QStringLiteral("seH"));
  seH->setGeometry(176, 64, 81, 21);
  seH->SetRange(500, 10000);
  seH->SetDecimals(1);
  seH->SetValue(500);

  BuildChart();

  sgTable = MakeGrid(this, "sgTable", kGaugeRows + 1, 304, 59);
  bbtSetTable = GlyphButton(this, "bbtSetTable", QString(), Glyph::kArrowLeft, 504, 224, 49, 25);
  bbtSetConfig = GlyphButton(this, "bbtSetConfig", QString(), Glyph::kArrowRight, 504, 264, 49, 25);
  sgConfig = MakeGrid(this, "sgConfig", 2, 560, 59);
  for (TStringGrid* grid : {sgTable, sgConfig}) {
    GridCells cells(grid);
    SetHeadings(cells);
    SetWidths(grid);
    grid->SetHandlers(GridHandlers{
        [this](TStringGrid* g, int c, int r) { Guarded([&] { sgTableGetEditText(g, c, r); }); },
        [this](TStringGrid* g, int c, int r, const QString& t) {
          Guarded([&] { sgTableSetEditText(g, c, r, t); });
        },
        [this](TStringGrid* g, int key) { return sgTableKeyDown(g, key); }});
  }

  bbtWriteTable = GlyphButton(this, "bbtWriteTable", QStringLiteral("Записать в уровнемер"),
                              Glyph::kCheck, 112, 444, 145, 25);
  bbtReadTable = GlyphButton(this, "bbtReadTable", QStringLiteral("Считать из уровнемера"),
                             Glyph::kCirclingArrows, 264, 444, 153, 25);
  bbtReadTable->setDefault(true);
  bbtWriteConfig = GlyphButton(this, "bbtWriteConfig", QStringLiteral("Записать в конф."),
                               Glyph::kCheck, 424, 444, 121, 25);
  bbtReadConfig = GlyphButton(this, "bbtReadConfig", QStringLiteral("Считать из конф."),
                              Glyph::kCirclingArrows, 552, 444, 121, 25);
  BitBtn1 = GlyphButton(this, "BitBtn1", QStringLiteral("Выход"), Glyph::kDoor, 680, 444, 75, 25);

  OpenDialog1.Save = false;
  SaveDialog1.Save = true;

  QWidget::setTabOrder(cbSiloNum2, sgTable);
  QWidget::setTabOrder(sgTable, bbtWriteTable);
  QWidget::setTabOrder(bbtWriteTable, bbtReadTable);
  QWidget::setTabOrder(bbtReadTable, sgConfig);
  QWidget::setTabOrder(sgConfig, bbtWriteConfig);
  QWidget::setTabOrder(bbtWriteConfig, bbtReadConfig);
  QWidget::setTabOrder(bbtReadConfig, bbtSetConfig);
  QWidget::setTabOrder(bbtSetConfig, bbtSetTable);
  QWidget::setTabOrder(bbtSetTable, Chart1);
  QWidget::setTabOrder(Chart1, bbtOpenFile);
  QWidget::setTabOrder(bbtOpenFile, bbtSaveFile);
  QWidget::setTabOrder(bbtSaveFile, BitBtn1);
  QWidget::setTabOrder(BitBtn1, seH);

  auto on = [this](QPushButton* button, void (TfmGradTable::*handler)()) {
    connect(button, &QPushButton::clicked, this,
            [this, handler] { Guarded([&] { (this->*handler)(); }); });
  };
  on(bbtOpenFile, &TfmGradTable::bbtOpenFileClick);
  on(bbtSaveFile, &TfmGradTable::bbtSaveFileClick);
  on(bbtSetTable, &TfmGradTable::bbtSetTableClick);
  on(bbtSetConfig, &TfmGradTable::bbtSetConfigClick);
  on(bbtWriteTable, &TfmGradTable::bbtWriteTableClick);
  on(bbtReadTable, &TfmGradTable::bbtReadTableClick);
  on(bbtWriteConfig, &TfmGradTable::bbtWriteConfigClick);
  on(bbtReadConfig, &TfmGradTable::bbtReadConfigClick);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::reject);
  connect(cbSiloNum2, &QComboBox::activated, this,
          [this] { Guarded([this] { cbSiloNum2Change(); }); });
  connect(seH, &TRxSpinEdit::Changed, this, [this] { Guarded([this] { seHChange(); }); });
  connect(qApp, &QApplication::focusChanged, this, &TfmGradTable::OnFocusChanged);

  CenterOnScreen(this);
}

TfmGradTable::~TfmGradTable() {
  // Deleting the controls moves the focus; the handler must not see that.
  disconnect(qApp, &QApplication::focusChanged, this, nullptr);
}

void TfmGradTable::BuildChart() {
  auto* chart = new QChart;
  chart->setTitle(QStringLiteral("Сравнение таблиц градуировки"));
  chart->setTitleFont(font());
  chart->setBackgroundRoundness(0);
  chart->setMargins(QMargins(2, 2, 2, 2));
  chart->setPlotAreaBackgroundVisible(false);
  chart->legend()->setAlignment(Qt::AlignTop);
  chart->legend()->setFont(font());

  Series1 = new QLineSeries(chart);
  Series1->setObjectName(QStringLiteral("Series1"));
  Series1->setName(QStringLiteral("Уровнемер"));
  Series2 = new QLineSeries(chart);
  Series2->setObjectName(QStringLiteral("Series2"));
  Series2->setName(QStringLiteral("Конф. файл"));
  chart->addSeries(Series1);
  chart->addSeries(Series2);
  // The first series keeps the chart's first automatic colour.
  QPen pen1 = Series1->pen();
  pen1.setWidth(3);
  Series1->setPen(pen1);
  QPen pen2(kConfigSeriesColor);
  pen2.setWidth(3);
  Series2->setPen(pen2);
  for (QLineSeries* s : {Series1, Series2}) {
    s->setPointsVisible(false);
    s->setPointLabelsVisible(false);
  }

  auto* axisX = new QValueAxis;
  axisX->setTitleText(QStringLiteral("см"));
  auto* axisY = new QValueAxis;
  axisY->setTitleText(QStringLiteral("л"));
  // Qt draws a left axis title turned on its side; this one stands upright.
  axisY->setTitleVisible(false);
  for (QValueAxis* axis : {axisX, axisY}) {
    axis->setLabelsFont(font());
    axis->setTitleFont(font());
    axis->setLabelFormat(QStringLiteral("%g"));
  }
  chart->addAxis(axisX, Qt::AlignBottom);
  chart->addAxis(axisY, Qt::AlignLeft);
  for (QLineSeries* s : {Series1, Series2}) {
    s->attachAxis(axisX);
    s->attachAxis(axisY);
    connect(s, &QXYSeries::pointsReplaced, this, &TfmGradTable::UpdateAxes);
    connect(s, &QXYSeries::pointsRemoved, this, &TfmGradTable::UpdateAxes);
    connect(s, &QXYSeries::pointAdded, this, &TfmGradTable::UpdateAxes);
  }
  left_axis_title_ = new QGraphicsSimpleTextItem(axisY->titleText(), chart);
  left_axis_title_->setFont(font());
  connect(chart, &QChart::plotAreaChanged, this, [this](const QRectF& area) {
    left_axis_title_->setPos(area.left() - left_axis_title_->boundingRect().width() - 2,
                             area.top() - left_axis_title_->boundingRect().height() - 2);
  });

  Chart1 = new QChartView(chart, this);
  Chart1->setObjectName(QStringLiteral("Chart1"));
  Chart1->setGeometry(8, 96, 289, 329);
  Chart1->setRenderHint(QPainter::Antialiasing);
  UpdateAxes();
}

void TfmGradTable::UpdateAxes() {
  QChart* chart = Chart1 ? Chart1->chart() : Series1->chart();
  if (!chart) return;
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
  bool any = false;
  for (QLineSeries* s : {Series1, Series2}) {
    for (const QPointF& p : s->points()) {
      if (!any) {
        minX = maxX = p.x();
        minY = maxY = p.y();
        any = true;
      }
      minX = std::min(minX, p.x());
      maxX = std::max(maxX, p.x());
      minY = std::min(minY, p.y());
      maxY = std::max(maxY, p.y());
    }
  }
  if (!any) {
    maxX = maxY = 1;
  }
  if (maxX <= minX) maxX = minX + 1;
  if (maxY <= minY) maxY = minY + 1;
  const QList<QAbstractAxis*> horizontal = chart->axes(Qt::Horizontal);
  const QList<QAbstractAxis*> vertical = chart->axes(Qt::Vertical);
  if (auto* axis = horizontal.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(horizontal.front())) {
    axis->setRange(minX, maxX);
    axis->applyNiceNumbers();
  }
  if (auto* axis = vertical.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(vertical.front())) {
    axis->setRange(minY, maxY);
    axis->applyNiceNumbers();
  }
}

void TfmGradTable::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) Guarded([this] { FormShow(); });
  QDialog::showEvent(event);
}

// ---------------------------------------------------------------------------

void TfmGradTable::FormShow() {
  GradAccessOnOff(false);
  GridCells table(sgTable), config(sgConfig);
  SetHeadings(table);
  SetWidths(sgTable);
  sgConfig->SetRowCount(2);
  SetHeadings(config);
  ClearRow(config, 1);
  SetWidths(sgConfig);
  Series1->clear();
  Series2->clear();
  seH->SetText(QString());
  cbSiloNum2->setEnabled(true);
  for (int r = 1; r <= kGaugeRows; ++r) ClearRow(table, r);
}

void TfmGradTable::GradAccessOnOff(bool value) {
  const std::initializer_list<QWidget*> controls = {
      Label22,       seH,           sgTable,        sgConfig,    bbtReadTable,
      bbtWriteTable, bbtReadConfig, bbtWriteConfig, bbtSetTable, bbtSetConfig,
      bbtSaveFile,   bbtOpenFile,   Chart1,         cbSiloNum2};
  for (QWidget* w : controls) w->setEnabled(value);
}

void TfmGradTable::FillLevels() {
  GridCells table(sgTable);
  vr::ui::FillLevels(table, seH->Value(), LocaleFormat());
}

bool TfmGradTable::CheckTable(TStringGrid* grid, bool report) {
  std::optional<TableProblem> problem = vr::ui::CheckTable(GridCells(grid), LocaleFormat());
  if (problem && report) ShowTableError(grid, problem->row, problem->text);
  return !problem;
}

void TfmGradTable::ShowTableError(TStringGrid* grid, int row, const char* text) {
  ShowError(text);
  grid->SetRow(row);
  grid->setFocus();
}

void TfmGradTable::DrawGraph() {
  if (!CheckTable(sgTable, false) || !CheckTable(sgConfig, false)) return;
  Series1->clear();
  Series2->clear();
  Series1->replace(ChartSeries(sgTable));
  Series2->replace(ChartSeries(sgConfig));
}

void TfmGradTable::seHChange() {
  FillLevels();
  DrawGraph();
}

void TfmGradTable::sgTableGetEditText(TStringGrid* grid, int col, int row) {
  SavedEditText = grid->Cell(col, row);
}

void TfmGradTable::sgTableSetEditText(TStringGrid*, int, int, const QString& value) {
  if (EditedTextIsBad(value.toStdString(), LocaleFormat(), [this] { DrawGraph(); }))
    ShowError(kBadTableData);
}

bool TfmGradTable::sgTableKeyDown(TStringGrid* grid, int key) {
  if (key != Qt::Key_Escape || !grid->Editing()) return false;
  grid->SetCell(grid->EditCol(), grid->EditRow(), SavedEditText);
  grid->EndEdit();
  return true;
}

void TfmGradTable::sgConfigExit() {
  if (!CheckTable(sgConfig, true)) sgConfig->setFocus();
}

void TfmGradTable::OnFocusChanged(QWidget* old, QWidget* now) {
  auto inConfig = [this](QWidget* w) { return w && (w == sgConfig || sgConfig->isAncestorOf(w)); };
  // Only a move to another control of this window leaves the table; the exit
  // button stays reachable whatever the table holds.
  if (!inConfig(old) || inConfig(now) || !now || now->window() != this || now == BitBtn1) return;
  QMetaObject::invokeMethod(
      this, [this] { Guarded([this] { sgConfigExit(); }); }, Qt::QueuedConnection);
}

void TfmGradTable::bbtSetTableClick() {
  GridCells table(sgTable);
  if (std::optional<const char*> error = Interpolate(GridCells(sgConfig), table, LocaleFormat())) {
    ShowError(*error);
    return;
  }
  DrawGraph();
}

void TfmGradTable::bbtSetConfigClick() {
  GridCells config(sgConfig);
  CopyTable(GridCells(sgTable), config);
  DrawGraph();
}

// ---------------------------------------------------------------------------
// Table files.

void TfmGradTable::SaveToIni(const std::string& fileName, const std::string& section, Units units) {
  SaveTable(GridCells(sgConfig), fileName, section, units, LocaleFormat());
}

void TfmGradTable::LoadFromIni(const std::string& fileName, const std::string& section,
                               Units units) {
  Series2->clear();
  GridCells config(sgConfig);
  LoadTable(config, fileName, section, units, LocaleFormat());
  DrawGraph();
}

void TfmGradTable::bbtReadConfigClick() {
  const std::string path = SettingsFilePath();
  if (!FileExists(path)) return;
  LoadFromIni(path, SettingsSection(cbSiloNum2->currentIndex()), Units::kSettings);
}

void TfmGradTable::bbtWriteConfigClick() {
  const std::string path = SettingsFilePath();
  if (!FileExists(path)) return;
  SaveToIni(path, SettingsSection(cbSiloNum2->currentIndex()), Units::kSettings);
}

void TfmGradTable::bbtOpenFileClick() {
  std::optional<QString> name = Dialogs().Execute(this, OpenDialog1);
  if (!name) return;
  LoadFromIni(QFile::encodeName(*name).toStdString(), kTableFileSection, Units::kFile);
}

void TfmGradTable::bbtSaveFileClick() {
  std::optional<QString> name = Dialogs().Execute(this, SaveDialog1);
  if (!name) return;
  // A table file holds the one table: whatever it held before goes.
  QFile file(*name);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    App().ReportError(QStringLiteral("Невозможно создать файл \"%1\". %2")
                          .arg(*name, file.errorString())
                          .toStdString());
    return;
  }
  file.close();
  SaveToIni(QFile::encodeName(*name).toStdString(), kTableFileSection, Units::kFile);
}

// ---------------------------------------------------------------------------
// Transfers (the thread does the work).

void TfmGradTable::cbSiloNum2Change() {
  StartTransfer(true);
}

void TfmGradTable::bbtReadTableClick() {
  if (cbSiloNum2->currentIndex() < 0) {
    App().ShowMessage(kChooseGauge, "Информация", MB_OK | MB_ICONWARNING);
    return;
  }
  StartTransfer(true);
  bbtWriteTable->setEnabled(false);
}

void TfmGradTable::bbtWriteTableClick() {
  if (!CheckTable(sgTable, true)) return;
  StartTransfer(false);
}

void TfmGradTable::StartTransfer(bool readMode) {
  auto* thread = new TTableThread;
  thread->ReadMode = readMode;
  thread->Driver = Driver;
  thread->Form = this;
  connect(thread, &QThread::finished, thread, &QObject::deleteLater);
  thread->start();
}

}  // namespace vr::ui
