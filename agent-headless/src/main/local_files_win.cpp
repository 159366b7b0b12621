#include "main/local_files.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "base/utf8.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> known_folder(REFKNOWNFOLDERID id) {
  PWSTR raw = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &raw);
  std::optional<fs::path> result;
  if (SUCCEEDED(hr) && raw != nullptr) result = fs::path(raw);
  // Released on every path: the call may allocate even when it fails.
  CoTaskMemFree(raw);
  return result;
}

}  // namespace

std::optional<fs::path> roaming_app_data_dir() {
  // Both folders must resolve; only the roaming one is used.
  auto local = known_folder(FOLDERID_LocalAppData);
  auto roaming = known_folder(FOLDERID_RoamingAppData);
  if (!local || !roaming) return std::nullopt;
  return roaming;
}

fs::path temp_fallback_data_dir() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  const fs::path tmp = (n > 0 && n <= MAX_PATH + 1) ? fs::path(buffer) : fs::path(L"C:\\Windows\\Temp");
  return tmp / L"zunel-print-agent";
}

std::string display_path(const fs::path& path) {
  const std::wstring& wide = path.native();
  return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

}  // namespace zunel
