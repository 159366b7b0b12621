#include "printing/cups_library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "printing/cups_server.h"

namespace zunel {
namespace {

bool libcups_in_process() {
  void* handle = ::dlopen("libcups.so.2", RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) ::dlclose(handle);
  return handle != nullptr;
}

// The whole sequence in one test: once loaded, the library stays for the
// life of the process.
TEST(CupsLibraryLoad, LoadedByTheFirstCupsCallNotAtStartOnceForAllThreads) {
  ASSERT_FALSE(libcups_in_process()) << "libcups was loaded at process start";

  const std::string nowhere = "/nonexistent-zunel-dir/cups.sock";
  auto directory = make_cups_printer_directory(nowhere);
  auto spooler = make_cups_spooler(nowhere);
  EXPECT_FALSE(libcups_in_process()) << "making the spooler or the directory loaded libcups";

  // The library is there but the server is not: the call went through to
  // the connection attempt.
  auto list = directory->list();
  ASSERT_FALSE(list.ok());
  EXPECT_EQ(list.error(), "EnumPrinters falló (Win32 err 1282)");
  EXPECT_TRUE(libcups_in_process());

  std::vector<const CupsLibrary*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = cups_library(); });
  for (auto& thread : threads) thread.join();
  seen.push_back(cups_library());
  EXPECT_EQ(std::set<const CupsLibrary*>(seen.begin(), seen.end()).size(), 1u);
  EXPECT_NE(seen.front(), nullptr);
}

}  // namespace
}  // namespace zunel
