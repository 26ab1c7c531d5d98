// Thread names on Windows: the thread's description, which debuggers and the process tools show. The calls
// came with Windows 10 and are looked up at run time; without them a thread keeps no name.
#include "platform/ThreadName.h"

#include <windows.h>

namespace plat {
namespace {

using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);

template <class F> F Kernel32(const char* name) {
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

} // namespace

void NameThisThread(const std::string& name) {
    static const auto set = Kernel32<SetDescription>("SetThreadDescription");
    if (!set) return;
    const int n = MultiByteToWideChar(1252, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(1252, 0, name.data(), static_cast<int>(name.size()), wide.data(), n);
    set(GetCurrentThread(), wide.c_str());
}

std::string ThisThreadName() {
    static const auto get = Kernel32<GetDescription>("GetThreadDescription");
    wchar_t* wide = nullptr;
    if (!get || FAILED(get(GetCurrentThread(), &wide)) || !wide) return std::string();
    const int n = WideCharToMultiByte(1252, 0, wide, -1, nullptr, 0, "?", nullptr);
    std::string name(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
    if (n > 1) WideCharToMultiByte(1252, 0, wide, -1, name.data(), n, "?", nullptr);
    LocalFree(wide);
    return name;
}

} // namespace plat
