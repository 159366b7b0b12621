#include "service/shell_link.h"

#include <array>
#include <limits>

namespace zunel {
namespace {

constexpr std::uint32_t HEADER_SIZE = 0x4C;
constexpr std::array<std::uint8_t, 16> SHELL_LINK_CLSID = {
    0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::array<std::uint8_t, 16> MY_COMPUTER_CLSID = {
    0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10, 0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};

// HasLinkTargetIDList | HasRelativePath | HasWorkingDir | HasArguments | IsUnicode.
constexpr std::uint32_t LINK_FLAGS = 0x000000B9;
constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL_VALUE = 0x80;
constexpr std::uint32_t SHOW_NORMAL = 1;

// Shell item class bytes: the root folder, a volume, a directory, a file.
constexpr std::uint8_t ROOT_FOLDER_ITEM = 0x1F;
constexpr std::uint8_t MY_COMPUTER_SORT_INDEX = 0x50;
constexpr std::uint8_t VOLUME_ITEM = 0x2F;
constexpr std::uint8_t DIRECTORY_ITEM = 0x31;
constexpr std::uint8_t FILE_ITEM = 0x32;
constexpr std::size_t VOLUME_NAME_FIELD = 22;  // "C:\" and NUL padding
constexpr std::uint16_t ITEM_ATTRIBUTE_DIRECTORY = 0x10;
constexpr std::uint16_t ITEM_ATTRIBUTE_ARCHIVE = 0x20;
constexpr std::uint32_t FILE_ENTRY_EXTENSION_SIGNATURE = 0xBEEF0004;
constexpr std::uint16_t FILE_ENTRY_EXTENSION_VERSION = 7;
constexpr std::uint16_t FILE_ENTRY_EXTENSION_V7_ID = 0x26;

class Bytes {
 public:
  void u8(std::uint8_t v) { out_.push_back(v); }
  void u16(std::uint16_t v) {
    u8(static_cast<std::uint8_t>(v & 0xFF));
    u8(static_cast<std::uint8_t>(v >> 8));
  }
  void u32(std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v & 0xFFFF));
    u16(static_cast<std::uint16_t>(v >> 16));
  }
  void u64(std::uint64_t v) {
    u32(static_cast<std::uint32_t>(v));
    u32(static_cast<std::uint32_t>(v >> 32));
  }
  void zeros(std::size_t n) { out_.insert(out_.end(), n, 0); }
  template <std::size_t N>
  void raw(const std::array<std::uint8_t, N>& a) { out_.insert(out_.end(), a.begin(), a.end()); }
  void utf16(const std::u16string& s) {
    for (char16_t c : s) u16(static_cast<std::uint16_t>(c));
  }
  void append(const Bytes& other) { out_.insert(out_.end(), other.out_.begin(), other.out_.end()); }
  // Overwrites two bytes already written at `at`.
  void patch_u16(std::size_t at, std::uint16_t v) {
    out_[at] = static_cast<std::uint8_t>(v & 0xFF);
    out_[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  std::size_t size() const { return out_.size(); }
  std::vector<std::uint8_t> take() { return std::move(out_); }

 private:
  std::vector<std::uint8_t> out_;
};

constexpr std::size_t MAX_U16 = std::numeric_limits<std::uint16_t>::max();

// The short-name field of a file entry item holds ANSI text; the exact name
// travels in the extension block, so anything outside printable ASCII is
// replaced here.
std::string ascii_name(const std::u16string& name) {
  std::string out;
  for (char16_t c : name) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '_');
  return out;
}

// A file entry item: class, short name, then the extension block with the
// long UTF-16 name.
Outcome<Bytes> file_entry_item(const std::u16string& name, bool is_file, std::uint32_t size) {
  Bytes item;
  item.u16(0);  // size, patched below
  item.u8(is_file ? FILE_ITEM : DIRECTORY_ITEM);
  item.u8(0);
  item.u32(is_file ? size : 0);
  item.u32(0);  // modification date and time (FAT), unknown
  item.u16(is_file ? ITEM_ATTRIBUTE_ARCHIVE : ITEM_ATTRIBUTE_DIRECTORY);
  const std::string short_name = ascii_name(name);
  for (char c : short_name) item.u8(static_cast<std::uint8_t>(c));
  item.u8(0);
  if (item.size() % 2 != 0) item.u8(0);  // the extension block starts on an even offset

  const std::size_t extension_offset = item.size();
  Bytes ext;
  ext.u16(0);  // size, patched below
  ext.u16(FILE_ENTRY_EXTENSION_VERSION);
  ext.u32(FILE_ENTRY_EXTENSION_SIGNATURE);
  ext.u32(0);  // creation date and time
  ext.u32(0);  // access date and time
  ext.u16(FILE_ENTRY_EXTENSION_V7_ID);
  ext.u16(0);
  ext.u64(0);  // NTFS file reference
  ext.u64(0);
  ext.u16(0);  // no localized name
  ext.utf16(name);
  ext.u16(0);
  ext.u16(static_cast<std::uint16_t>(extension_offset));
  if (ext.size() > MAX_U16 || item.size() + ext.size() > MAX_U16) {
    return fail("path component too long for a shell item");
  }
  ext.patch_u16(0, static_cast<std::uint16_t>(ext.size()));
  item.append(ext);
  item.patch_u16(0, static_cast<std::uint16_t>(item.size()));
  return item;
}

Outcome<Bytes> link_target_id_list(const std::u16string& drive,
                                   const std::vector<std::u16string>& components,
                                   std::uint32_t file_size) {
  Bytes list;
  list.u16(20);
  list.u8(ROOT_FOLDER_ITEM);
  list.u8(MY_COMPUTER_SORT_INDEX);
  list.raw(MY_COMPUTER_CLSID);

  list.u16(static_cast<std::uint16_t>(3 + VOLUME_NAME_FIELD));
  list.u8(VOLUME_ITEM);
  for (char16_t c : drive) list.u8(static_cast<std::uint8_t>(c));
  list.u8('\\');
  list.zeros(VOLUME_NAME_FIELD - drive.size() - 1);

  for (std::size_t i = 0; i < components.size(); ++i) {
    const bool is_file = i + 1 == components.size();
    auto item = file_entry_item(components[i], is_file, file_size);
    if (!item.ok()) return fail(item.error());
    list.append(item.value());
  }
  list.u16(0);  // TerminalID
  if (list.size() > MAX_U16) return fail("path too long for a shell link");
  return list;
}

Outcome<Bytes> string_data(const std::u16string& s) {
  if (s.size() > MAX_U16) return fail("string too long for a shell link");
  Bytes b;
  b.u16(static_cast<std::uint16_t>(s.size()));
  b.utf16(s);
  return b;
}

bool is_drive_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

}  // namespace

Outcome<std::vector<std::uint8_t>> build_shell_link(const ShellLinkTarget& target) {
  std::u16string path = target.executable;
  for (auto& c : path) {
    if (c == u'/') c = u'\\';
  }
  if (path.rfind(u"\\\\?\\", 0) == 0) path.erase(0, 4);
  if (path.size() < 4 || !is_drive_letter(path[0]) || path[1] != u':' || path[2] != u'\\') {
    return fail("the executable's path is not an absolute path on a drive");
  }
  const std::u16string drive = path.substr(0, 2);

  std::vector<std::u16string> components;
  std::size_t start = 3;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    std::u16string part = path.substr(start, end - start);
    if (part == u"." || part == u"..") return fail("the executable's path is not normalised");
    if (!part.empty()) components.push_back(std::move(part));
    start = end + 1;
  }
  if (components.empty()) return fail("the executable's path names no file");

  // The directory that holds the executable, as a path: "C:\" for the root.
  std::u16string working_dir = drive + u"\\";
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    if (i > 0) working_dir += u"\\";
    working_dir += components[i];
  }

  auto id_list = link_target_id_list(drive, components, target.file_size);
  if (!id_list.ok()) return fail(id_list.error());
  auto relative = string_data(u"./" + components.back());
  auto working = string_data(working_dir);
  auto arguments = string_data(target.arguments);
  if (!relative.ok()) return fail(relative.error());
  if (!working.ok()) return fail(working.error());
  if (!arguments.ok()) return fail(arguments.error());

  Bytes out;
  out.u32(HEADER_SIZE);
  out.raw(SHELL_LINK_CLSID);
  out.u32(LINK_FLAGS);
  out.u32(FILE_ATTRIBUTE_NORMAL_VALUE);
  out.u64(0);  // creation time
  out.u64(0);  // access time
  out.u64(0);  // write time
  out.u32(target.file_size);
  out.u32(0);  // icon index
  out.u32(SHOW_NORMAL);
  out.u16(0);  // hot key
  out.zeros(2 + 4 + 4);  // reserved

  // IDListSize counts the items and the terminal, not itself.
  out.u16(static_cast<std::uint16_t>(id_list.value().size()));
  out.append(id_list.value());
  out.append(relative.value());
  out.append(working.value());
  out.append(arguments.value());
  return out.take();
}

}  // namespace zunel
