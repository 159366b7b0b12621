// The Startup entry on Windows: ZunelPrintAgent.lnk in the user's Startup folder.
#include "service/autostart_platform.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

#include "base/utf8.h"
#include "service/shell_link.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;

// False for text with a lone surrogate, which is not valid Unicode.
bool is_valid_utf16(const std::wstring& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const wchar_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

SystemError last_error() { return system_error_from_code(static_cast<std::int32_t>(GetLastError())); }

std::optional<std::wstring> environment(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::nullopt;
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
  if (length == 0 || length >= size) return std::nullopt;
  value.resize(length);
  return value;
}

class ShortcutStartupEntry final : public StartupEntry {
 public:
  Outcome<fs::path> entry_path() override {
    const auto appdata = environment(L"APPDATA");
    if (!appdata || appdata->empty() || !is_valid_utf16(*appdata)) {
      return fail("no se pudo resolver %APPDATA%");
    }
    return fs::path(*appdata) / L"Microsoft" / L"Windows" / L"Start Menu" / L"Programs" /
           L"Startup" / L"ZunelPrintAgent.lnk";
  }

  Outcome<void, SystemError> write_entry(const fs::path& entry, const fs::path& executable,
                                         std::uint64_t executable_size) override {
    const std::wstring exe = executable.wstring();
    auto bytes = build_shell_link({std::u16string(exe.begin(), exe.end()),
                                   static_cast<std::uint32_t>(executable_size), u"run"});
    if (!bytes.ok()) return SystemError{bytes.error(), std::nullopt, false};

    // Written beside the entry and moved over it, so a failed write never
    // leaves a damaged shortcut behind.
    const fs::path temporary = entry.parent_path() / (entry.filename().wstring() + L".tmp");
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return last_error();
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.value().data(), static_cast<DWORD>(bytes.value().size()),
                        &written, nullptr);
    SystemError error = ok ? SystemError{} : last_error();
    if (ok && written != bytes.value().size()) {
      ok = FALSE;
      error = SystemError{"escritura incompleta", std::nullopt, false};
    }
    CloseHandle(file);
    if (ok && !MoveFileExW(temporary.c_str(), entry.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      ok = FALSE;
      error = last_error();
    }
    if (!ok) {
      DeleteFileW(temporary.c_str());
      return error;
    }
    return {};
  }

  // Read by the shell's own shortcut object, as Explorer reads it.
  Outcome<std::string, SystemError> read_target(const fs::path& entry) override {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const bool initialised = SUCCEEDED(init);
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(&link));
    if (SUCCEEDED(hr)) hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(hr)) hr = file->Load(entry.c_str(), STGM_READ);
    wchar_t path[MAX_PATH + 1] = {};
    wchar_t arguments[1024] = {};
    if (SUCCEEDED(hr)) hr = link->GetPath(path, MAX_PATH, nullptr, SLGP_RAWPATH);
    if (SUCCEEDED(hr)) hr = link->GetArguments(arguments, 1024);
    if (file) file->Release();
    if (link) link->Release();
    if (initialised) CoUninitialize();
    if (FAILED(hr)) return system_error_from_code(static_cast<std::int32_t>(hr));
    std::wstring line = L"\"" + std::wstring(path) + L"\" " + arguments;
    return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(line.data()), line.size()));
  }
};

}  // namespace

StartupEntry& system_startup_entry() {
  static ShortcutStartupEntry entry;
  return entry;
}

}  // namespace zunel
