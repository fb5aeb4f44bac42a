#pragma once
// The proxy section of the settings page: the kind (none, SOCKS 4, 4A or 5), the proxy's host
// and port, the user name and password, and whether the password is remembered. Fields the kind
// does not use are disabled (SOCKS 4 and 4A send a user id, no password).
#include "proxy_settings.h"

#include <QGroupBox>

class QCheckBox;
class QComboBox;
class QLineEdit;

class TProxySection : public QGroupBox {
public:
    explicit TProxySection(QWidget* Parent = nullptr);

    TProxySettings Settings() const;
    void SetSettings(const TProxySettings& Value);

    QComboBox* cbProxyKind = nullptr;
    QLineEdit* edProxyHost = nullptr;
    QLineEdit* edProxyPort = nullptr;
    QLineEdit* edProxyUser = nullptr;
    QLineEdit* edProxyPassword = nullptr;
    QCheckBox* cbRememberPassword = nullptr;

private:
    void UpdateFields();
};
