#include "platform/qt/QtFont.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QStringList>

namespace plat {
namespace {

bool IsFixed(const QFont& font) {
    return QFontInfo(font).fixedPitch();
}

QFont Sized(QFont font, int pointSize) {
    font.setStyleHint(QFont::TypeWriter);
    if (pointSize > 0) font.setPointSize(pointSize);
    return font;
}

} // namespace

QFont FixedFont(const char* family, int pointSize) {
    const QFont named = Sized(QFont(QString::fromLatin1(family)), pointSize);
    if (QFontDatabase::hasFamily(named.family()) && IsFixed(named)) return named;
    // A style hint alone is not kept everywhere (Windows without the family gives a proportional font):
    // the system's fixed font, else the first fixed-pitch family the machine has.
    const int size = named.pointSize();
    const QFont system = Sized(QFontDatabase::systemFont(QFontDatabase::FixedFont), size);
    if (IsFixed(system)) return system;
    for (const QString& other : QFontDatabase::families())
        if (QFontDatabase::isFixedPitch(other)) {
            const QFont font = Sized(QFont(other), size);
            if (IsFixed(font)) return font;
        }
    return system;
}

} // namespace plat
