#pragma once
// Controls that every settings page has alike.

#include <QPushButton>
#include <QStyle>

// The page's "Sichern" button with its tick.
inline QPushButton* MakeSaveButton(QWidget* page, const char* objectName) {
    auto* button = new QPushButton(QStringLiteral("Sichern"));
    button->setObjectName(QString::fromLatin1(objectName));
    button->setIcon(page->style()->standardIcon(QStyle::SP_DialogApplyButton));
    return button;
}
