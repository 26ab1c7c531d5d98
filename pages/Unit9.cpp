#include "pages/Unit9.h"

#include "pages/PageParts.h"
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

std::string LinesBytes(const QString& text) {
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
    return bytes;
}

bool SaveLines(const std::string& toolPath, const QString& text, plat::FileStamp& stamp, bool edited,
               std::string& diskBytes) {
    // FileError names the file and the reason, in German
    return plat::WriteBack(toolPath, LinesBytes(text), stamp, edited, diskBytes) !=
           plat::WriteBackResult::TakeFromDisk;
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
    Memo1->setFont(TypewriterFont("Courier New"));
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

void TForm9::ShowFile(const std::string& toolPath) {
    std::string bytes = plat::ReadFileBytes(toolPath);
    std::string text;
    for (const std::string& line : plat::SplitLines(bytes)) text += line + "\n";
    if (!text.empty()) text.pop_back();
    setWindowTitle(plat::ToQ(toolPath));
    Memo1->setPlainText(plat::ToQ(text));
    FLoadedPath = toolPath;
    FLoadedStamp = plat::StampFile(toolPath, bytes);
    FLoadedText = Memo1->toPlainText();
}

void TForm9::ToolButton1Click() {
    const std::string path = plat::FromQ(windowTitle());
    // A file not shown here counts as loaded missing: one that is there is not replaced without a question.
    plat::FileStamp stamp = path == FLoadedPath ? FLoadedStamp : plat::FileStamp{};
    const QString text = Memo1->toPlainText();
    std::string disk;
    if (!textfile::SaveLines(path, text, stamp, path != FLoadedPath || text != FLoadedText, disk)) {
        ShowFile(path); // taken from disk
        return;
    }
    FLoadedPath = path;
    FLoadedStamp = stamp;
    FLoadedText = text;
}
