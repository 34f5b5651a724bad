#include "setup/Pages.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QIcon>
#include <QMessageBox>
#include <QThread>

#include "Common/Registry.h"
#include "platform/ExePath.h"
#include "setup/SetupState.h"
#include "ui_ComponentsPage.h"
#include "ui_CopyProgressWindow.h"
#include "ui_FinishPage.h"
#include "ui_FolderPage.h"
#include "ui_LicensePage.h"
#include "ui_MulticastPage.h"
#include "ui_RemovePage.h"
#include "ui_RemoveProgressWindow.h"

namespace {
// Pages have a caption but no system menu: no close button, Escape still cancels.
constexpr Qt::WindowFlags kPageFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
constexpr Qt::WindowFlags kProgressFlags = Qt::Dialog | Qt::CustomizeWindowHint |
                                           Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                           Qt::WindowCloseButtonHint;

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToUtf8(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

template <class Page, class UiClass>
void SetUpPage(Page* page, UiClass* ui) {
  ui->setupUi(page);
  page->setWindowFlags(kPageFlags);
  page->setWindowIcon(SetupIcon());
  QObject::connect(ui->okButton, &QPushButton::clicked, page, &QDialog::accept);
  QObject::connect(ui->cancelButton, &QPushButton::clicked, page, &QDialog::reject);
}

class SimplePage : public QDialog {};
}  // namespace

QIcon SetupIcon() {
  QIcon icon;
  icon.addFile(":/setup/icon16.png", QSize(16, 16));
  icon.addFile(":/setup/icon32.png", QSize(32, 32));
  return icon;
}

void RepaintWindows() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

LicensePage::LicensePage() : ui_(std::make_unique<Ui::LicensePage>()) {
  SetUpPage(this, ui_.get());
  ui_->iconLabel->setPixmap(QPixmap(":/setup/icon32.png"));
  ui_->licenseText->setPlainText(FromUtf8(LoadLicenseText(g_source_folder)));
  ui_->licenseText->setFocus();
}
LicensePage::~LicensePage() = default;

FolderPage::FolderPage(SetupOptions& options)
    : options_(options), ui_(std::make_unique<Ui::FolderPage>()) {
  SetUpPage(this, ui_.get());
  ui_->folderEdit->setText(FromUtf8(options_.install_folder));
  connect(ui_->browseButton, &QPushButton::clicked, this, &FolderPage::Browse);
}
FolderPage::~FolderPage() = default;

void FolderPage::accept() {
  // A relative folder would give the uninstall log relative paths, which the uninstaller
  // refuses, and the menu entries relative Exec lines.
  char current[PATH_MAX];
  const char* home = getenv("HOME");
  options_.install_folder = AbsoluteFolder(ToUtf8(ui_->folderEdit->text()),
                                           getcwd(current, sizeof current) ? current : "/",
                                           home ? home : "");
  QDialog::accept();
}

void FolderPage::Browse() {
  const QString picked = QFileDialog::getExistingDirectory(
      this, "Select the directory into which you want to install this program:", "/");
  if (picked.isEmpty()) return;
  options_.install_folder = ToUtf8(picked);
  ui_->folderEdit->setText(picked);
}

ComponentsPage::ComponentsPage(SetupOptions& options)
    : options_(options), ui_(std::make_unique<Ui::ComponentsPage>()) {
  SetUpPage(this, ui_.get());
  ui_->serverCheck->setChecked(options_.install_server != 0);
  ui_->clientCheck->setChecked(options_.install_viewer != 0);
}
ComponentsPage::~ComponentsPage() = default;

void ComponentsPage::accept() {
  options_.install_server = ui_->serverCheck->isChecked() ? 1 : 0;
  options_.install_viewer = ui_->clientCheck->isChecked() ? 1 : 0;
  QDialog::accept();
}

MulticastPage::MulticastPage(SetupOptions& options)
    : options_(options), ui_(std::make_unique<Ui::MulticastPage>()) {
  SetUpPage(this, ui_.get());
  ui_->targetEdit->setText(FromUtf8(options_.multicast_target));
  ui_->portEdit->setText(QString::number(options_.multicast_port));
  ui_->keyEdit->setText(FromUtf8(options_.stream_key));
}
MulticastPage::~MulticastPage() = default;

void MulticastPage::accept() {
  int port = 0;
  if (!ParseDialogInt(ToUtf8(ui_->portEdit->text()), &port)) {
    QMessageBox::warning(this, FromUtf8(ProgramCaption(ExecutablePath())),
                         "Please enter an integer.");
    ui_->portEdit->setFocus();
    ui_->portEdit->selectAll();
    return;
  }
  // The programs read the key into a 260-byte buffer: refuse what they could not read whole.
  const std::string key = ToUtf8(ui_->keyEdit->text());
  if (key.size() >= kRegTextBytes) {
    QMessageBox::warning(this, FromUtf8(ProgramCaption(ExecutablePath())),
                         QString("The stream key may hold at most %1 bytes.").arg(kRegTextBytes - 1));
    ui_->keyEdit->setFocus();
    return;
  }
  options_.multicast_target = ToUtf8(ui_->targetEdit->text());
  options_.multicast_port = port;
  options_.stream_key = key;
  QDialog::accept();
}

void ProgressDialog::closeEvent(QCloseEvent* event) { event->ignore(); }

CopyProgressWindow::CopyProgressWindow() : ui_(std::make_unique<Ui::CopyProgressWindow>()) {
  ui_->setupUi(this);
  setWindowFlags(kProgressFlags);
  setWindowIcon(SetupIcon());
  ui_->progressBar->setRange(0, 0);
  ui_->progressBar->setValue(0);
  show();
  RepaintWindows();
}
CopyProgressWindow::~CopyProgressWindow() = default;

void CopyProgressWindow::SetLines(const std::string& source, const std::string& destination) {
  ui_->sourceLine->setText(FromUtf8(source));
  ui_->destinationLine->setText(FromUtf8(destination));
  RepaintWindows();
}

void CopyProgressWindow::SetRange(uint32_t maximum) {
  // The bar keeps an int; a total beyond 2 TiB is shown as full scale.
  ui_->progressBar->setRange(0, maximum > INT32_MAX ? INT32_MAX : static_cast<int>(maximum));
  RepaintWindows();
}

void CopyProgressWindow::SetPos(uint32_t position) {
  position_ = position > INT32_MAX ? INT32_MAX : static_cast<int>(position);
  ui_->progressBar->setValue(std::min(position_, ui_->progressBar->maximum()));
  RepaintWindows();
}

void CopyProgressWindow::DeltaPos(uint32_t delta) {
  const int64_t next = static_cast<int64_t>(position_) + delta;
  position_ = next > INT32_MAX ? INT32_MAX : static_cast<int>(next);
  ui_->progressBar->setValue(std::min(position_, ui_->progressBar->maximum()));
  RepaintWindows();
}

RemoveProgressWindow::RemoveProgressWindow(const std::string& line)
    : ui_(std::make_unique<Ui::RemoveProgressWindow>()) {
  ui_->setupUi(this);
  setWindowFlags(kProgressFlags);
  setWindowIcon(SetupIcon());
  setWindowTitle(QString("%1 %2").arg(kProduct, kVersion));
  ui_->variableLine->setText(FromUtf8(line));
  show();
  RepaintWindows();
}
RemoveProgressWindow::~RemoveProgressWindow() = default;

bool QtSetupUi::LicensePage() {
  ::LicensePage page;
  return page.exec() == QDialog::Accepted;
}

bool QtSetupUi::FolderPage(SetupOptions& options) {
  ::FolderPage page(options);
  return page.exec() == QDialog::Accepted;
}

bool QtSetupUi::ComponentsPage(SetupOptions& options) {
  ::ComponentsPage page(options);
  return page.exec() == QDialog::Accepted;
}

bool QtSetupUi::MulticastPage(SetupOptions& options) {
  ::MulticastPage page(options);
  return page.exec() == QDialog::Accepted;
}

bool QtSetupUi::FinishPage() {
  SimplePage page;
  Ui::FinishPage ui;
  SetUpPage(&page, &ui);
  return page.exec() == QDialog::Accepted;
}

bool QtSetupUi::RemovePage() {
  SimplePage page;
  Ui::RemovePage ui;
  SetUpPage(&page, &ui);
  return page.exec() == QDialog::Accepted;
}

CopyProgress* QtSetupUi::CreateCopyProgress() {
  copy_ = std::make_unique<CopyProgressWindow>();
  return copy_.get();
}

void QtSetupUi::DestroyCopyProgress() { copy_.reset(); RepaintWindows(); }

bool QtSetupUi::CreateRemoveProgress(const std::string& line) {
  remove_ = std::make_unique<RemoveProgressWindow>(line);
  return true;
}

void QtSetupUi::DestroyRemoveProgress() { remove_.reset(); RepaintWindows(); }

void QtSetupUi::ShowWarning(const std::string& text) {
  QMessageBox::warning(nullptr, FromUtf8(ProgramCaption(ExecutablePath())), FromUtf8(text));
}

void QtSetupUi::Wait(int ms) {
  // The run blocks, but windows that get uncovered still repaint.
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    RepaintWindows();
    QThread::msleep(static_cast<unsigned long>(std::min<qint64>(20, ms - timer.elapsed() + 1)));
  }
}
