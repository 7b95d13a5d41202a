// Looks at Murel.exe's windows from another process of the same Wine prefix, for the screen tests:
// reads commands from standard input, one per line, and answers each with one line of JSON.
//   dump            the Murel windows and their children: class, id, text, state, screen rectangles
//   theme light|dark  sets the app theme value and tells every window the setting changed
//   glyphs TEXT     whether "Segoe UI" has a glyph for every character of TEXT (UTF-8)
//   manifest PATH   the application manifest embedded in the executable at PATH (Windows path)
//   quit

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
    return out;
}

std::string className(HWND window) {
    wchar_t name[128] = {};
    GetClassNameW(window, name, 128);
    return narrow(name);
}

std::string textOf(HWND window) {
    // WM_GETTEXT works across processes (the system copies the text).
    wchar_t text[1024] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return narrow(text);
}

Json rectJson(const RECT& r) { return Json::array({r.left, r.top, r.right, r.bottom}); }

Json describe(HWND window, HWND focus) {
    RECT r{};
    GetWindowRect(window, &r);
    Json item = {
        {"hwnd", reinterpret_cast<std::uintptr_t>(window)},
        {"class", className(window)},
        {"id", GetDlgCtrlID(window)},
        {"text", textOf(window)},
        {"visible", IsWindowVisible(window) != FALSE},
        {"enabled", IsWindowEnabled(window) != FALSE},
        {"rect", rectJson(r)},
        {"style", static_cast<std::uint32_t>(GetWindowLongPtrW(window, GWL_STYLE))},
        {"parent", reinterpret_cast<std::uintptr_t>(GetParent(window))},
        {"focus", window == focus},
    };
    return item;
}

Json dump() {
    std::vector<HWND> tops;
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            if (className(window).rfind("Murel", 0) == 0) reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&tops));
    Json windows = Json::array();
    for (HWND top : tops) {
        GUITHREADINFO thread{};
        thread.cbSize = sizeof thread;
        GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &thread);
        Json entry = describe(top, thread.hwndFocus);
        RECT client{};
        GetClientRect(top, &client);
        POINT origin{0, 0};
        ClientToScreen(top, &origin);
        entry["client"] = Json::array({origin.x, origin.y, client.right, client.bottom});
        entry["active"] = thread.hwndActive == top;
        std::vector<HWND> children;
        EnumChildWindows(
            top,
            [](HWND child, LPARAM context) -> BOOL {
                reinterpret_cast<std::vector<HWND>*>(context)->push_back(child);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&children));
        Json list = Json::array();
        for (HWND child : children) list.push_back(describe(child, thread.hwndFocus));
        entry["children"] = list;
        windows.push_back(entry);
    }
    return {{"windows", windows}};
}

Json setTheme(bool dark) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                                  0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        const DWORD value = dark ? 0 : 1;
        status = RegSetValueExW(key, L"AppsUseLightTheme", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                sizeof value);
        RegCloseKey(key);
    }
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"ImmersiveColorSet"),
                        SMTO_ABORTIFHUNG, 5000, &result);
    return {{"ok", status == ERROR_SUCCESS}};
}

Json glyphs(const std::string& text) {
    const std::wstring characters = wide(text);
    HDC dc = CreateCompatibleDC(nullptr);
    HFONT font = CreateFontW(-14, 0, 0, 0, 400, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI");
    HGDIOBJ previous = SelectObject(dc, font);
    std::vector<WORD> indices(characters.size());
    const DWORD converted = GetGlyphIndicesW(dc, characters.c_str(), static_cast<int>(characters.size()),
                                             indices.data(), GGI_MARK_NONEXISTING_GLYPHS);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, previous);
    DeleteObject(font);
    DeleteDC(dc);
    int missing = 0;
    for (WORD index : indices) missing += index == 0xFFFF ? 1 : 0;
    return {{"face", narrow(face)}, {"missing", converted == GDI_ERROR ? -1 : missing}};
}

Json manifest(const std::string& path) {
    HMODULE module = LoadLibraryExW(wide(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) return {{"error", "cannot load " + path}};
    std::string text;
    if (HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        if (HGLOBAL loaded = LoadResource(module, resource)) {
            const char* data = static_cast<const char*>(LockResource(loaded));
            if (data) text.assign(data, SizeofResource(module, resource));
        }
    }
    FreeLibrary(module);
    return {{"manifest", text}};
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Json answer;
        try {
            if (line == "dump") {
                answer = dump();
            } else if (line == "theme dark" || line == "theme light") {
                answer = setTheme(line == "theme dark");
            } else if (line.rfind("glyphs ", 0) == 0) {
                answer = glyphs(line.substr(7));
            } else if (line.rfind("manifest ", 0) == 0) {
                answer = manifest(line.substr(9));
            } else if (line == "quit") {
                break;
            } else {
                answer = {{"error", "unknown command"}};
            }
        } catch (const std::exception& error) {
            answer = {{"error", error.what()}};
        }
        std::cout << answer.dump() << std::endl;
    }
    return 0;
}
