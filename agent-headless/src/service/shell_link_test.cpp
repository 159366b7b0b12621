#include "service/shell_link.h"

#include <gtest/gtest.h>


namespace zunel {
namespace {

// Reads little-endian fields in order and fails the test on overrun.
class Reader {
 public:
  explicit Reader(const std::vector<std::uint8_t>& b) : b_(b) {}
  std::uint8_t u8() {
    EXPECT_LT(pos_, b_.size());
    return pos_ < b_.size() ? b_[pos_++] : 0;
  }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
  std::uint32_t u32() { return u16() | (static_cast<std::uint32_t>(u16()) << 16); }
  std::uint64_t u64() { return u32() | (static_cast<std::uint64_t>(u32()) << 32); }
  std::vector<std::uint8_t> bytes(std::size_t n) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(u8());
    return out;
  }
  std::u16string counted_utf16() {
    const std::uint16_t n = u16();
    std::u16string s;
    for (std::uint16_t i = 0; i < n; ++i) s.push_back(static_cast<char16_t>(u16()));
    return s;
  }
  std::size_t pos() const { return pos_; }
  bool at_end() const { return pos_ == b_.size(); }

 private:
  const std::vector<std::uint8_t>& b_;
  std::size_t pos_ = 0;
};

// The long name inside a file entry item's extension block.
std::u16string long_name_of_item(const std::vector<std::uint8_t>& item) {
  const std::size_t ext = item[item.size() - 2] | (item[item.size() - 1] << 8);
  std::u16string name;
  // size(2) version(2) signature(4) dates(8) id(2) zero(2) reference(16) localized size(2)
  for (std::size_t i = ext + 38; i + 1 < item.size() - 2; i += 2) {
    const char16_t c = static_cast<char16_t>(item[i] | (item[i + 1] << 8));
    if (c == 0) break;
    name.push_back(c);
  }
  return name;
}

std::vector<std::uint8_t> build(const std::u16string& exe, std::uint32_t size = 0x00123456) {
  auto r = build_shell_link({exe, size, u"run"});
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
  return r.ok() ? r.value() : std::vector<std::uint8_t>{};
}

TEST(ShellLink, HeaderFieldsAreTheFixedOnesAndTheFileSize) {
  const auto b = build(u"C:\\Agent\\zunel-print-agent.exe", 0x89ABCDEF);
  ASSERT_GE(b.size(), 76u);
  Reader r(b);
  EXPECT_EQ(r.u32(), 0x4Cu);
  const std::vector<std::uint8_t> clsid = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  EXPECT_EQ(r.bytes(16), clsid);
  EXPECT_EQ(r.u32(), 0xB9u);        // LinkFlags
  EXPECT_EQ(r.u32(), 0x80u);        // FileAttributes
  EXPECT_EQ(r.u64(), 0u);           // creation
  EXPECT_EQ(r.u64(), 0u);           // access
  EXPECT_EQ(r.u64(), 0u);           // write
  EXPECT_EQ(r.u32(), 0x89ABCDEFu);  // FileSize
  EXPECT_EQ(r.u32(), 0u);           // IconIndex
  EXPECT_EQ(r.u32(), 1u);           // ShowCommand
  EXPECT_EQ(r.u16(), 0u);           // HotKey
  EXPECT_EQ(r.u16(), 0u);
  EXPECT_EQ(r.u32(), 0u);
  EXPECT_EQ(r.u32(), 0u);
  EXPECT_EQ(r.pos(), 76u);
}

TEST(ShellLink, IdListThenStringsAndNothingAfterTheArguments) {
  const auto b = build(u"C:\\Program Files\\Zunel\\zunel-print-agent.exe", 4242);
  Reader r(b);
  r.bytes(76);
  const std::uint16_t id_list_size = r.u16();
  const std::size_t list_start = r.pos();

  // Root item: My Computer.
  EXPECT_EQ(r.u16(), 20u);
  EXPECT_EQ(r.u8(), 0x1F);
  EXPECT_EQ(r.u8(), 0x50);
  const std::vector<std::uint8_t> my_computer = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                                 0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};
  EXPECT_EQ(r.bytes(16), my_computer);

  // Drive item: "C:\" padded to 22 bytes.
  EXPECT_EQ(r.u16(), 25u);
  EXPECT_EQ(r.u8(), 0x2F);
  const auto drive = r.bytes(22);
  EXPECT_EQ(std::string(drive.begin(), drive.begin() + 3), "C:\\");
  for (std::size_t i = 3; i < drive.size(); ++i) EXPECT_EQ(drive[i], 0) << i;

  // One item per component: two directories, then the file with its size.
  const std::u16string names[] = {u"Program Files", u"Zunel", u"zunel-print-agent.exe"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const std::uint16_t size = r.u16();
    ASSERT_GT(size, 2u);
    std::vector<std::uint8_t> item = {static_cast<std::uint8_t>(size & 0xFF),
                                      static_cast<std::uint8_t>(size >> 8)};
    const auto rest = r.bytes(size - 2u);
    item.insert(item.end(), rest.begin(), rest.end());
    EXPECT_EQ(item[2], i == 2 ? 0x32 : 0x31);
    const std::uint32_t item_file_size = item[4] | (item[5] << 8) | (item[6] << 16) | (item[7] << 24);
    EXPECT_EQ(item_file_size, i == 2 ? 4242u : 0u);
    EXPECT_EQ(long_name_of_item(item), names[i]);
  }
  EXPECT_EQ(r.u16(), 0u);  // TerminalID
  EXPECT_EQ(r.pos() - list_start, id_list_size);

  EXPECT_EQ(r.counted_utf16(), u"./zunel-print-agent.exe");
  EXPECT_EQ(r.counted_utf16(), u"C:\\Program Files\\Zunel");
  EXPECT_EQ(r.counted_utf16(), u"run");
  EXPECT_TRUE(r.at_end());
}

// A directory item laid out as in the format's published sample ("C:\test"),
// with its dates and file reference zeroed since the writer records none.
TEST(ShellLink, DirectoryItemMatchesTheFormatsPublishedLayout) {
  const auto b = build(u"C:\\test\\a.txt");
  const std::size_t first_item = 76 + 2 + 20 + 25;
  const std::vector<std::uint8_t> expected = {
      0x46, 0x00, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
      't',  'e',  's',  't',  0x00, 0x00,                          // short name, padded
      0x32, 0x00, 0x07, 0x00, 0x04, 0x00, 0xEF, 0xBE,              // extension: size, version, signature
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x26, 0x00,  // dates, id
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // zero, file reference
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // unknown, localized size
      't',  0x00, 'e',  0x00, 's',  0x00, 't',  0x00, 0x00, 0x00,  // long name
      0x14, 0x00};                                                  // offset of the extension
  ASSERT_GE(b.size(), first_item + expected.size());
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + first_item, b.begin() + first_item + expected.size()),
            expected);
}

TEST(ShellLink, NonAsciiNamesKeepTheirExactFormInTheLongName) {
  const std::u16string dir = u"Agente Ñandú";
  const auto b = build(u"D:\\" + dir + u"\\a.exe");
  const std::size_t first_item = 76 + 2 + 20 + 25;
  ASSERT_GT(b.size(), first_item + 2);
  const std::size_t size = b[first_item] | (b[first_item + 1] << 8);
  const std::vector<std::uint8_t> item(b.begin() + first_item, b.begin() + first_item + size);
  EXPECT_EQ(long_name_of_item(item), dir);
  EXPECT_EQ(std::string(item.begin() + 14, item.begin() + 26), "Agente _and_");
  EXPECT_EQ(b[76 + 2 + 20 + 3], 'D');
}

TEST(ShellLink, PathFormsAreNormalisedOrRefused) {
  struct Case {
    std::u16string path;
    bool ok;
    std::u16string working_dir;
  } cases[] = {
      {u"C:/Agent/a.exe", true, u"C:\\Agent"},
      {u"\\\\?\\C:\\Agent\\a.exe", true, u"C:\\Agent"},
      {u"C:\\a.exe", true, u"C:\\"},
      {u"C:\\Agent\\\\a.exe", true, u"C:\\Agent"},
      {u"Agent\\a.exe", false, u""},
      {u"\\\\server\\share\\a.exe", false, u""},
      {u"C:a.exe", false, u""},
      {u"C:\\", false, u""},
      {u"C:\\Agent\\..\\a.exe", false, u""},
      {u"", false, u""},
  };
  for (const auto& c : cases) {
    auto r = build_shell_link({c.path, 1, u"run"});
    ASSERT_EQ(r.ok(), c.ok) << std::string(c.path.begin(), c.path.end());
    if (!c.ok) continue;
    // The working directory is the second-to-last string.
    const auto& b = r.value();
    const std::size_t args_len = 2 + 2 * 3;
    const std::size_t wd_end = b.size() - args_len;
    const std::size_t wd_chars = c.working_dir.size();
    const std::size_t wd_start = wd_end - 2 * wd_chars;
    std::u16string wd;
    for (std::size_t i = wd_start; i < wd_end; i += 2) wd.push_back(static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
    EXPECT_EQ(wd, c.working_dir);
    EXPECT_EQ(b[wd_start - 2] | (b[wd_start - 1] << 8), static_cast<int>(wd_chars));
  }
}

TEST(ShellLink, OversizedComponentIsRefusedNotTruncated) {
  const std::u16string huge(40000, u'x');
  EXPECT_FALSE(build_shell_link({u"C:\\" + huge + u"\\a.exe", 1, u"run"}).ok());
}

}  // namespace
}  // namespace zunel
