#pragma once

#include <QString>

#include <string>

namespace quorvane {

// The login item: an XDG autostart entry, "$XDG_CONFIG_HOME/autostart/quorvane-ombrel.desktop",
// whose Exec starts this executable.
class LoginItem {
public:
    static QString defaultFile();

    LoginItem(QString file, QString executable);

    // The entry exists and does not say Hidden=true.
    bool enabled() const;
    // Writes or removes the entry; failures are ignored (read `enabled` afterwards).
    void setEnabled(bool on) const;

private:
    QString file_;
    QString executable_;
};

// The desktop entry that starts `executable` at login.
std::string autostartEntry(const std::string& executable);

// `argument` as one quoted argument of a desktop entry's Exec key: in double quotes with `"`,
// backtick, `$` and backslash escaped by a backslash, every backslash then doubled for the
// string type (which is read first), and `%` doubled.
std::string quotedExecArgument(const std::string& argument);

} // namespace quorvane
