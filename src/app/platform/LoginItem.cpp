#include "platform/LoginItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <utility>

namespace quorvane {

QString LoginItem::defaultFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/autostart/quorvane-ombrel.desktop";
}

LoginItem::LoginItem(QString file, QString executable)
    : file_(std::move(file)), executable_(std::move(executable)) {}

bool LoginItem::enabled() const {
    QFile entry(file_);
    if (!entry.open(QIODevice::ReadOnly))
        return false;
    // Keys count only inside the [Desktop Entry] group.
    bool inMainGroup = false;
    while (!entry.atEnd()) {
        const QByteArray line = entry.readLine(64 * 1024).trimmed();
        if (line.startsWith('['))
            inMainGroup = line == "[Desktop Entry]";
        else if (inMainGroup && line.startsWith("Hidden")) {
            const QByteArray rest = line.mid(6).trimmed();
            if (rest.startsWith('=') && rest.mid(1).trimmed() == "true")
                return false;
        }
    }
    return true;
}

void LoginItem::setEnabled(bool on) const {
    if (!on) {
        QFile::remove(file_);
        return;
    }
    QDir().mkpath(QFileInfo(file_).absolutePath());
    QSaveFile entry(file_);
    if (!entry.open(QIODevice::WriteOnly))
        return;
    const std::string text = autostartEntry(executable_.toStdString());
    entry.write(text.data(), static_cast<qint64>(text.size()));
    entry.commit();
}

std::string quotedExecArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        switch (c) {
        case '"':
        case '`':
        case '$':
            // The quoting backslash, itself escaped for the string type (read first).
            quoted += "\\\\";
            quoted += c;
            break;
        case '\\':
            quoted += "\\\\\\\\";
            break;
        case '%':
            quoted += "%%";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\t':
            quoted += "\\t";
            break;
        case '\r':
            quoted += "\\r";
            break;
        default:
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::string autostartEntry(const std::string& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quorvane Ombrel\n"
           "Comment=Watches this Mac's backups\n"
           "Exec=" +
           quotedExecArgument(executable) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

} // namespace quorvane
