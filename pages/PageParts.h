#pragma once
// Controls that every settings page has alike.

#include "platform/qt/QtFont.h"

#include <QFont>
#include <QPushButton>
#include <QStyle>

// A typewriter font by name; where the machine lacks it, the system's fixed font.
inline QFont TypewriterFont(const char* family) {
    return plat::FixedFont(family);
}

// The page's "Sichern" button with its tick.
inline QPushButton* MakeSaveButton(QWidget* page, const char* objectName) {
    auto* button = new QPushButton(QStringLiteral("Sichern"));
    button->setObjectName(QString::fromLatin1(objectName));
    button->setIcon(page->style()->standardIcon(QStyle::SP_DialogApplyButton));
    return button;
}
