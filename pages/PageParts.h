#pragma once
// Controls that every settings page has alike.

#include <QFont>
#include <QPushButton>
#include <QStyle>

// A typewriter font by name; where the machine lacks it, the fallback is monospaced too.
inline QFont TypewriterFont(const char* family) {
    QFont font(QString::fromLatin1(family));
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

// The page's "Sichern" button with its tick.
inline QPushButton* MakeSaveButton(QWidget* page, const char* objectName) {
    auto* button = new QPushButton(QStringLiteral("Sichern"));
    button->setObjectName(QString::fromLatin1(objectName));
    button->setIcon(page->style()->standardIcon(QStyle::SP_DialogApplyButton));
    return button;
}
