// The tool tree and its file views: the tree built from the tool INI file, a picked node shown as text,
// picture, tree or in the INI inspector, and the text view's save and leave questions. TMainForm's part.

#include "app/main.h"

#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "pages/Unit10.h"
#include "pages/Unit11.h"
#include "pages/Unit5.h"
#include "pages/Unit9.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/qt/QtText.h"

#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <functional>

namespace {

// Replaces the first "$(BASE)" of text, in any letter case, by base.
std::string ReplaceBase(const std::string& text, const std::string& base) {
    const std::size_t at = plat::AnsiUpperCase(text).find("$(BASE)");
    if (at == std::string::npos) return text;
    return text.substr(0, at) + base + text.substr(at + 7);
}

// Asks whether the changes in memo are written to path; true when the caller may go on (saved, or the
// changes dropped), false to stay (Abbrechen, the box closed, or the save failed and was shown).
bool AskSaveChanges(QPlainTextEdit* memo, const std::string& path, const std::function<void()>& save,
                    const std::function<void()>& drop) {
    if (!memo->document()->isModified()) return true;
    const int answer = dlg::MessageDlg(plat::FromQ(QStringLiteral("Änderungen an %1 speichern?")
                                                       .arg(plat::ToQ(path))),
                                       dlg::Kind::Confirmation, dlg::mbYes | dlg::mbNo | dlg::mbCancel);
    if (answer == dlg::mrYes) {
        try {
            save();
        } catch (const std::exception& e) {
            dlg::MessageDlg(e.what(), dlg::Kind::Error, dlg::mbOK);
            return false;
        }
        memo->document()->setModified(false);
        return true;
    }
    if (answer == dlg::mrNo) {
        memo->document()->setModified(false);
        drop();
        return true;
    }
    return false;
}

} // namespace

// --- tool tree
// ----------------------------------------------------------------------------------------------

void TMainForm::BuildToolTree() {
    // The tree lines go straight to the loader: no temporary file is needed for them.
    std::vector<std::string> lines;
    const TIniStore& ini = ToolIni();
    for (int n = 1;; ++n) {
        std::string line = ini.ReadString("ini-tree", std::to_string(n), "");
        if (line.empty()) break;
        for (char& c : line)
            if (c == '#') c = '\t';
        lines.push_back(std::move(line));
    }
    TreeView1->clear();
    TextNode = nullptr;
    treefile::LoadTreeLines(TreeView1, lines);
    ApplyImagePrefixes();
}

void TMainForm::LoadToolTree(const std::string& fileName) {
    TextNode = nullptr;
    treefile::LoadTreeFile(TreeView1, fileName);
    ApplyImagePrefixes();
}

void TMainForm::ApplyImagePrefixes() {
    std::function<void(QTreeWidgetItem*)> apply = [&](QTreeWidgetItem* item) {
        std::string text = plat::FromQ(item->text(0));
        int image = 0;
        if (text.find(',') != std::string::npos) {
            image = static_cast<unsigned char>(text[0]) - '0';
            text = text.size() > 2 ? text.substr(2, treefile::MaxNodeText) : std::string();
            if (!text.empty()) text[0] = plat::AnsiUpper(text[0]);
            item->setText(0, plat::ToQ(text));
        }
        item->setData(0, Qt::UserRole, image);
        item->setIcon(0, image >= 0 && image < ImageList1.size() ? ImageList1[image] : QIcon());
        for (int i = 0; i < item->childCount(); ++i)
            apply(item->child(i));
    };
    for (int i = 0; i < TreeView1->topLevelItemCount(); ++i)
        apply(TreeView1->topLevelItem(i));
    TreeView1->expandAll();
    // The keyboard starts at the first node, so the focus is visible as soon as the tree has it.
    if (!TreeView1->currentItem() && TreeView1->topLevelItemCount() > 0)
        TreeView1->setCurrentItem(TreeView1->topLevelItem(0));
}

int TMainForm::ClassifyNodeFile(const std::string& extension) {
    if (extension == ".bat" || extension == ".txt" || extension == ".zws" || extension == ".esr") return 1;
    if (extension == ".jpg") return 2;
    if (extension == ".sys" || extension == ".ini") return 3;
    return 0;
}

void TMainForm::PlaceViewer(QWidget* form) {
    if (form->parentWidget() != Panel18) {
        form->setParent(Panel18, Qt::Widget);
        Panel18->layout()->addWidget(form);
    }
    static_cast<QVBoxLayout*>(Panel18->layout())->setStretchFactor(form, 1);
    form->show();
}

void TMainForm::ShowTextNotice(const std::string& notice, const std::string& path) {
    Memo1->setReadOnly(false);
    Memo1->setPlainText(plat::ToQ("\n\n" + notice + "\n\"" + path + "\""));
    Memo1->show();
}

void TMainForm::TreeView1Click() {
    if (!plat::FileExists(CurrentToolIniPath)) return;
    QTreeWidgetItem* node = TreeView1->currentItem();
    if (!node) return;
    const std::string name = plat::AnsiLowerCase(plat::FromQ(node->text(0)));
    std::string base, path;
    {
        const TIniStore onDisk(CurrentToolIniPath); // the file as it is on disk, released at once
        base = onDisk.ReadString("files", "base", "");
        path = onDisk.ReadString("FileList", name, "");
    }
    if (path.empty()) return;
    if (!ConfirmLeaveText()) {
        TreeView1->setCurrentItem(TextNode); // back to the node whose text is still shown
        return;
    }
    HideViewers();
    Memo1->hide();
    Panel16->hide();
    path = ReplaceBase(path, base);
    const int kind = ClassifyNodeFile(plat::ExtractFileExt(name));
    switch (kind) {
    case 1:
        Memo1->clear();
        Panel16Caption->setText(plat::ToQ(path));
        if (plat::FileExists(path)) {
            // A line longer than the editor can lay out in reasonable time is shown cut, read-only and
            // without "Save", so the cut text can never replace the file.
            ShowTextFile(path, plat::ReadFileBytes(path));
            TextNode = node;
            Panel16->show();
            Memo1->show();
            if (name == "telefon.txt") PageControl1->setCurrentWidget(tab_telefon);
        } else {
            ShowTextNotice("NICHT GEFUNDEN", path);
        }
        Memo1->show();
        break;
    case 2:
        if (Form11) {
            Form11->setWindowTitle(plat::ToQ(path));
            Form11->LoadPicture(path); // a failure leaves the viewer hidden
            PlaceViewer(Form11);
        }
        break;
    case 3:
        if (name.find("tree") != std::string::npos) {
            if (Form10) {
                Form10->setWindowTitle(plat::ToQ(path));
                try {
                    treefile::LoadTreeFile(Form10->TreeView1, path);
                } catch (const treefile::TreeLevelError&) {
                    PlaceViewer(Form10); // what loaded before the bad line is shown, then the message
                    throw;
                }
                Form10->TreeView1->expandAll();
                PlaceViewer(Form10);
            }
        } else if (Form5) {
            Form5->setWindowTitle(plat::ToQ(path));
            Form5->OpenInInspector(path);
            Form5->RefreshSections();
            PlaceViewer(Form5);
        }
        break;
    default:
        Memo1->clear();
        ShowTextNotice("OK, aber keine Darstellung", path);
        break;
    }
}

void TMainForm::ShowTextFile(const std::string& path, const std::string& bytes) {
    // A line longer than the editor can lay out in reasonable time is shown cut, read-only and
    // without "Save", so the cut text can never replace the file.
    bool cut = false;
    std::string text;
    for (const std::string& line : treefile::SplitLines(bytes)) {
        cut = cut || line.size() > MaxEditableLine;
        text.append(line, 0, MaxEditableLine);
        text += '\n';
    }
    if (!text.empty()) text.pop_back();
    Memo1->setPlainText(plat::ToQ(text));
    Memo1->document()->setModified(false);
    Memo1->setReadOnly(cut);
    SpeedButton6->setEnabled(!cut);
    SpeedButton6->setToolTip(cut ? QString::fromUtf8("Zeilen über 65536 Zeichen: nur Anzeige") : QString());
    TextViewPath = path;
    TextViewStamp = plat::StampFile(path, bytes);
    TextViewText = Memo1->toPlainText();
}

void TMainForm::SpeedButton6Click() {
    if (!SpeedButton6->isEnabled()) return;
    const std::string path = plat::FromQ(Panel16Caption->text());
    plat::FileStamp stamp = path == TextViewPath ? TextViewStamp : plat::FileStamp{};
    const QString text = Memo1->toPlainText();
    std::string disk;
    if (!textfile::SaveLines(path, text, stamp, path != TextViewPath || text != TextViewText, disk)) {
        ShowTextFile(path, disk); // another program's version, and nothing edited here (or the user chose it)
        return;
    }
    TextViewStamp = stamp;
    TextViewText = text;
    Memo1->document()->setModified(false);
}

bool TMainForm::TextChanged() const {
    const bool mainView = !Panel16->isHidden() && !Memo1->isReadOnly() && Memo1->document()->isModified();
    const bool window = Form9 && Form9->isVisible() && Form9->Memo1->document()->isModified();
    return mainView || window;
}

void TMainForm::ClearTextView() {
    Memo1->clear();
    Memo1->document()->setModified(false);
    Memo1->hide();
    Panel16->hide();
    TextNode = nullptr;
}

bool TMainForm::ConfirmLeaveText() {
    if (!Panel16->isHidden() && !Memo1->isReadOnly() &&
        !AskSaveChanges(
            Memo1, plat::FromQ(Panel16Caption->text()), [this] { SpeedButton6Click(); }, [this] { ClearTextView(); }))
        return false;
    if (Form9 && Form9->isVisible() &&
        !AskSaveChanges(
            Form9->Memo1, plat::FromQ(Form9->windowTitle()), [] { Form9->ToolButton1Click(); },
            [] { Form9->hide(); }))
        return false;
    return true;
}
