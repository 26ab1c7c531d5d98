#include "app/Shell.h"

#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

namespace shell {
namespace {
std::function<void(const std::string&)>& Hook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}
std::function<bool(const QUrl&)>& UrlHook() {
    static std::function<bool(const QUrl&)> hook;
    return hook;
}
} // namespace

bool ShellOpen(const std::string& toolPath) {
    if (!plat::FileExists(toolPath)) return false;
    if (Hook()) {
        Hook()(toolPath);
        return true;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(plat::HostToQ(plat::ToHostPath(toolPath))));
}

bool OpenUrl(const QUrl& url) {
    if (UrlHook()) return UrlHook()(url);
    return QDesktopServices::openUrl(url);
}

void SetOpenHook(std::function<void(const std::string&)> hook) { Hook() = std::move(hook); }
void SetUrlHook(std::function<bool(const QUrl&)> hook) { UrlHook() = std::move(hook); }

} // namespace shell
