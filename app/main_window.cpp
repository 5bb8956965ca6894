// SPDX-License-Identifier: MIT
#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "app/about_dialog.h"
#include "app/action_bar.h"
#include "app/app_model.h"
#include "app/brand_theme.h"
#include "app/desktop_notifier.h"
#include "app/header_section.h"
#include "app/options_sections.h"
#include "app/photos_section.h"
#include "app/result_section.h"
#include "app/rules_sections.h"
#include "app/system_appearance.h"

namespace kestrel {

namespace {

const QString kSizeKey = QStringLiteral("window/size");
constexpr QSize kMinimumSize(980, 740);
constexpr QSize kFirstSize(1080, 860);
constexpr int kContentWidth = 1040;

bool hasEnded(TaskPhase phase) {
  return phase == TaskPhase::completed || phase == TaskPhase::cancelled ||
         phase == TaskPhase::failed;
}

}  // namespace

MainWindow::MainWindow(AppModel& model, const BrandImages& images, QSettings& settings,
                       QWidget* parent)
    : QMainWindow(parent),
      model_(model),
      images_(images),
      settings_(settings),
      // The platform's own window colour, read before the brand palette hides it.
      system_(new SystemAppearance(QApplication::palette().color(QPalette::Window), this)),
      scroll_(new QScrollArea),
      header_(new HeaderSection(model, images)),
      photos_(new PhotosSection(model)),
      rules_(new RulesSection(model)),
      result_(new ResultSection(model)) {
  setWindowTitle(QStringLiteral("隼影"));
  setMinimumSize(kMinimumSize);
  resize(settings_.value(kSizeKey, kFirstSize).toSize().expandedTo(kMinimumSize));
  buildMenu();

  auto* column = new QWidget;
  column->setMaximumWidth(kContentWidth);
  auto* sections = new QVBoxLayout(column);
  sections->setContentsMargins(0, 0, 0, 0);
  sections->setSpacing(16);
  sections->addWidget(header_);
  sections->addWidget(photos_);
  sections->addWidget(new RunSection(model));
  sections->addWidget(new AdvancedSection(model));
  sections->addWidget(rules_);
  sections->addWidget(new DestinationsSection(model));
  sections->addWidget(result_);
  sections->addStretch();

  auto* content = new QWidget;
  content->setObjectName(QStringLiteral("WindowContent"));
  auto* centring = new QHBoxLayout(content);
  centring->setContentsMargins(28, 22, 28, 28);
  centring->addWidget(column);
  scroll_->setWidget(content);
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(scroll_, 1);
  layout->addWidget(new ActionBar(model));
  setCentralWidget(central);

  connect(&model_, &AppModel::appearanceChanged, this, &MainWindow::applyTheme);
  connect(system_, &SystemAppearance::changed, this, &MainWindow::applyTheme);
  connect(&model_, &AppModel::phaseChanged, this, &MainWindow::followRun);
  applyTheme();
}

void MainWindow::buildMenu() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("文件"));
  QAction* input =
      file->addAction(QStringLiteral("选择照片文件夹…"), QKeySequence(Qt::CTRL | Qt::Key_O),
                      &model_, &AppModel::chooseInput);
  QAction* output = file->addAction(QStringLiteral("选择保存位置…"),
                                    QKeySequence(Qt::SHIFT | Qt::CTRL | Qt::Key_O), &model_,
                                    &AppModel::chooseOutput);
  for (QAction* action : {input, output}) {
    connect(&model_, &AppModel::runningChanged, action,
            [this, action] { action->setEnabled(!model_.running()); });
  }
  file->addSeparator();
  file->addAction(QStringLiteral("退出"), QKeySequence::Quit, this, &QWidget::close);

  QMenu* help = menuBar()->addMenu(QStringLiteral("帮助"));
  help->addAction(QStringLiteral("关于隼影"), this, &MainWindow::showAbout);
}

void MainWindow::applyTheme() {
  const BrandTheme theme =
      BrandTheme::forScheme(usesDarkScheme(model_.appearance(), system_->prefersDark()));
  QApplication::setPalette(brandPalette(theme));
  qApp->setStyleSheet(brandStyleSheet(theme));
  header_->applyTheme(theme);
  photos_->applyTheme(theme);
  rules_->applyTheme(theme);
  result_->applyTheme(theme);
}

void MainWindow::followRun() {
  // The result section shows a run's progress and its end, so it comes into
  // view when a run starts and again when it ends.
  const bool ended = hasEnded(model_.phase());
  if (model_.phase() != TaskPhase::preparing && !ended) return;
  // After the layout has taken in the result's new rows.
  QTimer::singleShot(0, this, [this] {
    const int top = result_->mapTo(scroll_->widget(), QPoint(0, 0)).y() - 16;
    QScrollBar* bar = scroll_->verticalScrollBar();
    bar->setValue(std::clamp(top, bar->minimum(), bar->maximum()));
  });
  if (ended && !isActiveWindow()) notifyDesktop(model_.statusTitle(), model_.message());
}

void MainWindow::showAbout() {
  AboutDialog about(images_, this);
  about.exec();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  settings_.setValue(kSizeKey, size());
  QMainWindow::closeEvent(event);
}

}  // namespace kestrel
