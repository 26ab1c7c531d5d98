#include "pages/Unit9.h"

#include "platform/Files.h"
#include "platform/qt/QtText.h"

#include <QFont>
#include <QPlainTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <stdexcept>

TForm9* Form9 = nullptr;

namespace textfile {

void SaveLines(const std::string& toolPath, const QString& text) {
    std::string bytes;
    if (!text.isEmpty()) {
        bytes = plat::FromQ(text);
        std::string out;
        out.reserve(bytes.size() + bytes.size() / 16 + 2);
        for (char c : bytes) {
            if (c == '\n')
                out += "\r\n";
            else
                out += c;
        }
        out += "\r\n";
        bytes.swap(out);
    }
    plat::WriteFileAtomic(toolPath, bytes); // FileError names the file and the reason, in German
}

} // namespace textfile

TForm9::TForm9(QWidget* parent) : QWidget(parent) {
    setObjectName("Form9");
    resize(799, 531);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName("ToolBar1");
    ToolBar1->setToolButtonStyle(Qt::ToolButtonTextOnly);
    ToolButton1 = new QToolButton(ToolBar1);
    ToolButton1->setObjectName("ToolButton1");
    ToolButton1->setText("   Save    ");
    ToolBar1->addWidget(ToolButton1);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setFont(QFont("Courier New"));
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette pal = Memo1->palette();
    pal.setColor(QPalette::Text, QColor(128, 0, 128));
    Memo1->setPalette(pal);
    Memo1->setPlainText("Memo1");
    layout->addWidget(ToolBar1);
    layout->addWidget(Memo1, 1);
    connect(ToolButton1, &QToolButton::clicked, this, &TForm9::ToolButton1Click);
}

void TForm9::ToolButton1Click() {
    textfile::SaveLines(plat::FromQ(windowTitle()), Memo1->toPlainText());
}
