// The connect, agreement and About windows.
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "client/chat_text.h"
#include "toolkit/client/client_windows.h"
#include "toolkit/client/src/windows.h"

namespace cv::client {

namespace {

constexpr int kServerTextMax = 255;
constexpr int kLoginTextMax = 31;

}  // namespace

QWidget* ButtonRow(const std::vector<QPushButton*>& buttons, QWidget* parent) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addStretch(1);
  // The default button sits at the right, where the eye ends.
  for (auto it = buttons.rbegin(); it != buttons.rend(); ++it) {
    (*it)->setAutoDefault(false);
    layout->addWidget(*it);
  }
  if (!buttons.empty()) buttons.front()->setDefault(true);
  return row;
}

// ---- Connect

CMyConnectDialog::CMyConnectDialog(CMyApplication& app) : controller_(app, *this) {
  setWindowTitle(QStringLiteral("Connect"));
  setWindowModality(Qt::ApplicationModal);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(WrappedLabel(Mac(kConnectPrompt), this));
  bookmarks_ = new QComboBox(this);
  bookmarks_->setObjectName(QStringLiteral("bookmarks"));
  layout->addWidget(bookmarks_);
  auto* form = new QFormLayout;
  server_ = new QLineEdit(this);
  server_->setObjectName(widgetNames::kServer);
  server_->setMaxLength(kServerTextMax);
  login_ = new QLineEdit(this);
  login_->setObjectName(widgetNames::kLogin);
  login_->setMaxLength(kLoginTextMax);
  password_ = new QLineEdit(this);
  password_->setObjectName(widgetNames::kPassword);
  password_->setMaxLength(kLoginTextMax);
  password_->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("Server:"), server_);
  form->addRow(QStringLiteral("Login:"), login_);
  form->addRow(QStringLiteral("Password:"), password_);
  layout->addLayout(form);
  auto* connectButton = new QPushButton(QStringLiteral("Connect"), this);
  connectButton->setObjectName(widgetNames::kConnectButton);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  auto* save = new QPushButton(QStringLiteral("Save..."), this);
  layout->addWidget(ButtonRow({connectButton, cancel, save}, this));
  connect(connectButton, &QPushButton::clicked, this, [this] { Act([this] { controller_.Connect(); }); });
  connect(save, &QPushButton::clicked, this, [this] { Act([this] { controller_.Save(); }); });
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
  onReject = [this] { Act([this] { controller_.Cancel(); }); };
  setMinimumWidth(380);
}

void CMyConnectDialog::Fill(const SMyConnectForm& form, bool showBookmarks) {
  server_->setText(Mac(form.server));
  login_->setText(Mac(form.login));
  password_->setText(Mac(form.password));
  bookmarks_->setVisible(showBookmarks);
  (server_->text().isEmpty() ? server_ : login_)->setFocus();
}

SMyConnectForm CMyConnectDialog::Read() {
  return SMyConnectForm{ToMac(server_->text().trimmed()), ToMac(login_->text()), ToMac(password_->text())};
}

void CMyConnectDialog::Close() {
  onReject = nullptr;
  DisposeWindow(this);
}

// ---- Agreement

CMyAgreementDialog::CMyAgreementDialog(CMyApplication& app, std::string_view text) : controller_(app, *this) {
  setWindowTitle(QStringLiteral("Agreement"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(WrappedLabel(Mac(kAgreementPrompt), this));
  auto* body = new QPlainTextEdit(this);
  body->setReadOnly(true);
  body->setPlainText(Mac(text));
  layout->addWidget(body, 1);
  auto* agree = new QPushButton(QStringLiteral("Agree"), this);
  auto* disagree = new QPushButton(QStringLiteral("Disagree"), this);
  layout->addWidget(ButtonRow({agree, disagree}, this));
  connect(agree, &QPushButton::clicked, this, [this] { Act([this] { controller_.Agree(); }); });
  connect(disagree, &QPushButton::clicked, this, [this] { reject(); });
  onReject = [this] { Act([this] { controller_.Disagree(); }); };
  resize(460, 360);
}

void CMyAgreementDialog::Close() {
  onReject = nullptr;
  DisposeWindow(this);
}

// ---- About

CMyAboutDialog::CMyAboutDialog() {
  setWindowTitle(QStringLiteral("About Corvane"));
  auto* layout = new QVBoxLayout(this);
  auto* name = new QLabel(QStringLiteral("Corvane " CORVANE_VERSION), this);
  QFont big = name->font();
  big.setPointSize(big.pointSize() + 4);
  big.setBold(true);
  name->setFont(big);
  layout->addWidget(name);
  statistics_ = WrappedLabel(QString(), this);
  statistics_->setObjectName(QStringLiteral("statistics"));
  layout->addWidget(statistics_);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  layout->addWidget(ButtonRow({ok}, this));
  connect(ok, &QPushButton::clicked, this, [this] { hide(); });
  setMinimumWidth(360);
}

void CMyAboutDialog::SetStatistics(std::string_view statistics) { statistics_->setText(Mac(statistics)); }

}  // namespace cv::client
