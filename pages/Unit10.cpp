#include "pages/Unit10.h"

#include "platform/Files.h"
#include "platform/qt/QtText.h"

#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <stdexcept>

TForm10* Form10 = nullptr;

namespace treefile {

std::vector<std::string> SplitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n') continue;
        lines.emplace_back(bytes, start, i - start);
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < bytes.size()) lines.emplace_back(bytes, start, std::string::npos);
    return lines;
}

void LoadTreeLines(QTreeWidget* tree, const std::vector<std::string>& lines) {
    tree->clear();
    QTreeWidgetItem* last = nullptr;
    int lastLevel = -1;
    for (const std::string& line : lines) {
        std::size_t depth = 0;
        while (depth < line.size() && (line[depth] == '\t' || line[depth] == ' '))
            ++depth;
        if (depth == line.size()) continue; // an empty or blank line is no node
        std::string text = line.substr(depth, MaxLineText);
        const int level = depth > 1000000 ? 1000000 : int(depth);
        QTreeWidgetItem* parent = nullptr;
        if (!last) {
            parent = nullptr; // the first line is a top node, whatever its indent
        } else if (level == lastLevel) {
            parent = last->parent();
        } else if (level == lastLevel + 1) {
            parent = last;
        } else if (level < lastLevel) {
            // Up to the node's depth; above an indented first line there are only top nodes.
            parent = last->parent();
            int parentLevel = lastLevel - 1;
            while (parent && parentLevel >= level) {
                parent = parent->parent();
                --parentLevel;
            }
        } else {
            throw TreeLevelError("Ung\xFC"
                                 "ltige Ebene (" +
                                 std::to_string(level) +
                                 ") f\xFC"
                                 "r Eintrag \"" +
                                 text + "\"");
        }
        auto* item = new QTreeWidgetItem(QStringList(plat::ToQ(text)));
        if (parent)
            parent->addChild(item);
        else
            tree->addTopLevelItem(item);
        lastLevel = level; // an indented first line keeps its depth: lines at that depth are its siblings
        last = item;
    }
}

void LoadTreeFile(QTreeWidget* tree, const std::string& toolPath) {
    tree->clear();
    LoadTreeLines(tree, SplitLines(plat::ReadFileBytes(toolPath)));
}

} // namespace treefile

TForm10::TForm10(QWidget* parent) : QWidget(parent) {
    setObjectName("Form10");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName("ToolBar1");
    TreeView1 = new QTreeWidget(this);
    TreeView1->setObjectName("TreeView1");
    TreeView1->setHeaderHidden(true);
    TreeView1->setIndentation(19);
    layout->addWidget(ToolBar1);
    layout->addWidget(TreeView1, 1);
}
