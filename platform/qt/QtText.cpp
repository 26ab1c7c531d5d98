#include "platform/qt/QtText.h"

#include "platform/Cp1252.h"
#include "platform/Paths.h"

#include <QDir>

namespace plat {

QString ToQ(const std::string& text) {
    std::u16string u = Cp1252ToUtf16(text);
    return QString(reinterpret_cast<const QChar*>(u.data()), static_cast<qsizetype>(u.size()));
}

std::string FromQ(const QString& text) {
    return Utf16ToCp1252(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                             static_cast<size_t>(text.size())));
}

QString HostToQ(const std::string& hostPath) {
    return QDir::toNativeSeparators(QString::fromStdString(HostPathUtf8(hostPath)));
}

} // namespace plat
