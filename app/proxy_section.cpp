#include "proxy_section.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QAbstractItemView>
#include <QLineEdit>

TProxySection::TProxySection(QWidget* Parent) : QGroupBox(QStringLiteral("Proxy"), Parent) {
    cbProxyKind = new QComboBox;
    // In the order of TProxyKind.
    cbProxyKind->addItems({QStringLiteral("None"), QStringLiteral("SOCKS 4"),
                           QStringLiteral("SOCKS 4A"), QStringLiteral("SOCKS 5")});
    edProxyHost = new QLineEdit;
    edProxyPort = new QLineEdit;
    edProxyPort->setMaxLength(5);
    edProxyUser = new QLineEdit;
    edProxyPassword = new QLineEdit;
    edProxyPassword->setEchoMode(QLineEdit::Password);
    cbRememberPassword = new QCheckBox(QStringLiteral("Remember the password"));
    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Proxy"), cbProxyKind);
    form->addRow(QStringLiteral("Proxy host"), edProxyHost);
    form->addRow(QStringLiteral("Proxy port"), edProxyPort);
    form->addRow(QStringLiteral("User name"), edProxyUser);
    form->addRow(QStringLiteral("Password"), edProxyPassword);
    form->addRow(QString(), cbRememberPassword);
    // The list of kinds pops up in a view of its own; both have a name to be read out.
    cbProxyKind->setAccessibleName(QStringLiteral("Proxy"));
    cbProxyKind->view()->setAccessibleName(QStringLiteral("Proxy kinds"));
    connect(cbProxyKind, &QComboBox::currentIndexChanged, this, [this] { UpdateFields(); });
    UpdateFields();
}

TProxySettings TProxySection::Settings() const {
    TProxySettings p;
    p.Kind = static_cast<TProxyKind>(cbProxyKind->currentIndex());
    p.Host = edProxyHost->text().trimmed();
    p.Port = edProxyPort->text().trimmed();
    p.User = edProxyUser->text();
    p.Password = edProxyPassword->text();
    p.RememberPassword = cbRememberPassword->isChecked();
    return p;
}

void TProxySection::SetSettings(const TProxySettings& Value) {
    cbProxyKind->setCurrentIndex(static_cast<int>(Value.Kind));
    edProxyHost->setText(Value.Host);
    edProxyPort->setText(Value.Port);
    edProxyUser->setText(Value.User);
    edProxyPassword->setText(Value.Password);
    cbRememberPassword->setChecked(Value.RememberPassword);
    UpdateFields();
}

void TProxySection::UpdateFields() {
    const auto kind = static_cast<TProxyKind>(cbProxyKind->currentIndex());
    const bool on = kind != TProxyKind::None;
    for (QWidget* w : {static_cast<QWidget*>(edProxyHost), static_cast<QWidget*>(edProxyPort),
                       static_cast<QWidget*>(edProxyUser)})
        w->setEnabled(on);
    const bool password = kind == TProxyKind::Socks5;
    edProxyPassword->setEnabled(password);
    cbRememberPassword->setEnabled(password);
}
