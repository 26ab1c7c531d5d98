#pragma once
// The tree window: shows a tree file, one node per line, its depth given by leading TABs or blanks.
// The tree-file rules live here too; the main window's tool tree loads with the same rules.

#include <QWidget>

#include <stdexcept>
#include <string>
#include <vector>

class QToolBar;
class QTreeWidget;

namespace treefile {

// A line more than one level deeper than the node before it.
struct TreeLevelError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Longest text a tree line keeps (after its indent); a longer line is cut there.
constexpr std::size_t MaxLineText = 255;
// Longest node text kept after an image prefix was removed.
constexpr std::size_t MaxNodeText = 225;

// Splits file bytes into lines at CR LF, LF or CR; a final line end adds no empty line.
std::vector<std::string> SplitLines(const std::string& bytes);

// Clears tree and loads one node per non-empty line. A line may be at most one level deeper than the
// node before it (and return to any shallower level). A deeper jump stops the load: the nodes loaded
// so far stay, and TreeLevelError carries "Ungültige Ebene (depth) für Eintrag "text"".
void LoadTreeLines(QTreeWidget* tree, const std::vector<std::string>& lines);

// Reads a tree file at a tool-family path and loads it (see LoadTreeLines). A missing or unreadable
// file raises plat::FileError (German) and leaves the tree empty.
void LoadTreeFile(QTreeWidget* tree, const std::string& toolPath);

} // namespace treefile

class TForm10 : public QWidget {
    Q_OBJECT
public:
    explicit TForm10(QWidget* parent = nullptr);

    QToolBar* ToolBar1;
    QTreeWidget* TreeView1;
};

extern TForm10* Form10;
