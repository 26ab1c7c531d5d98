#include "platform/qt/QtFont.h"

#include <QFontDatabase>
#include <QFontInfo>

namespace plat {

QFont FixedFont(const char* family, int pointSize) {
    QFont font(QString::fromLatin1(family));
    font.setStyleHint(QFont::TypeWriter);
    if (pointSize > 0) font.setPointSize(pointSize);
    if (QFontDatabase::hasFamily(font.family()) && QFontInfo(font).fixedPitch()) return font;
    // A style hint alone is not kept everywhere (Windows without the family gives a proportional font).
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(font.pointSize() > 0 ? font.pointSize() : fixed.pointSize());
    return fixed;
}

} // namespace plat
