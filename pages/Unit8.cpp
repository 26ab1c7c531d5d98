#include "pages/Unit8.h"

TForm8* Form8 = nullptr;

TForm8::TForm8(QWidget* parent) : QWidget(parent) {
    setObjectName("Form8");
}

void TForm8::LoadSettings() {}
