#include "base/append_file.h"

#include <cstdlib>
#include <string_view>

#include "base/build_config.h"

namespace zunel {
namespace {

// The system's files with every sync refused, as a failing disk refuses it.
class FailingSyncFiles final : public AppendFiles {
  struct File final : AppendFile {
    explicit File(std::unique_ptr<AppendFile> file) : file(std::move(file)) {}
    Status append(std::string_view bytes) override { return file->append(bytes); }
    Status sync() override { return fail("Input/output error (os error 5)"); }
    std::uint64_t size() const override { return file->size(); }
    std::unique_ptr<AppendFile> file;
  };

 public:
  Outcome<std::unique_ptr<AppendFile>> open(const std::filesystem::path& path) override {
    auto opened = system_append_files().open(path);
    if (!opened) return fail(opened.error());
    return std::unique_ptr<AppendFile>(std::make_unique<File>(std::move(*opened)));
  }
  Status replace(const std::filesystem::path& path, std::string_view text) override {
    return system_append_files().replace(path, text);
  }
  Outcome<Tail> read_tail(const std::filesystem::path& path, std::size_t max_bytes) override {
    return system_append_files().read_tail(path, max_bytes);
  }
};

}  // namespace

AppendFiles& agent_append_files() {
  if (test_hooks_enabled()) {
    const char* failing = std::getenv("ZUNEL_TEST_FAILING_SYNC");
    if (failing != nullptr && std::string_view(failing) == "1") {
      static FailingSyncFiles files;
      return files;
    }
  }
  return system_append_files();
}

}  // namespace zunel
