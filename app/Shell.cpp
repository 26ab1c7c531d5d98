#include "app/Shell.h"

#include "platform/Paths.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

namespace shell {
namespace {
std::function<void(const std::string&)>& Hook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}
} // namespace

void ShellOpen(const std::string& toolPath) {
    if (Hook()) {
        Hook()(toolPath);
        return;
    }
    if (!plat::FileExists(toolPath)) return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(plat::ToHostPath(toolPath))));
}

void SetOpenHook(std::function<void(const std::string&)> hook) {
    Hook() = std::move(hook);
}

} // namespace shell
