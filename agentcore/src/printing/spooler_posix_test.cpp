#include "printing/spooler.h"

#include <gtest/gtest.h>

#include <vector>

#include "cups_test_server.h"
#include "printing/cups_library.h"
#include "printing/cups_server.h"
#include "printing/printing.h"
#include "printing/spooler_channel.h"
#include "test_listeners.h"

namespace zunel {
namespace {

std::vector<std::uint8_t> every_byte_value(std::size_t rounds) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t r = 0; r < rounds; ++r) {
    for (int v = 0; v < 256; ++v) bytes.push_back(static_cast<std::uint8_t>(v + r));
  }
  return bytes;
}

class CupsSpoolerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready()) << "the private CUPS server did not start:\n" << server_.log();
    const CommandResult added = server_.add_raw_queue("caja", sink_.port());
    ASSERT_EQ(added.exit_code, 0) << added.output;
  }

  CupsTestServer server_;
  LoopbackSink sink_;
  std::unique_ptr<Spooler> spooler_ = make_cups_spooler(server_.socket());
  std::unique_ptr<PrinterDirectory> directory_ = make_cups_printer_directory(server_.socket());
  PrintPlatform platform_{system_tcp_network(), system_serial_ports(), *spooler_, *directory_};
};

TEST_F(CupsSpoolerTest, RawJobArrivesByteForByteAtTheQueuesDevice) {
  const auto bytes = every_byte_value(400);
  const PrintStatus status = print_to_target({WinSpoolTarget{"caja"}}, bytes, platform_);
  ASSERT_TRUE(status.ok()) << status.error().text;
  const auto got = sink_.closed_connection(0, std::chrono::seconds(30));
  ASSERT_TRUE(got) << "nothing reached the queue's device\n" << server_.log();
  EXPECT_TRUE(*got == bytes) << "received " << got->size() << " of " << bytes.size() << " bytes";
}

TEST_F(CupsSpoolerTest, EmptyJobSucceedsAndLeavesNoJobBehind) {
  const Status status = send_winspool(*spooler_, "caja", {});
  EXPECT_TRUE(status.ok()) << status.error();
  // CUPS refuses a document without data; the job it had created is
  // cancelled rather than left waiting for one.
  const CommandResult pending = run_command({"lpstat", "-h", server_.socket(), "-o"});
  EXPECT_EQ(pending.exit_code, 0);
  EXPECT_EQ(pending.output, "");
}

TEST_F(CupsSpoolerTest, NamesThatAreNotAQueueFailToOpen) {
  // A default destination exists, so an empty name must not fall back to it.
  ASSERT_EQ(run_command({"lpadmin", "-h", server_.socket(), "-d", "caja"}).exit_code, 0);
  for (const std::string& name : {std::string("nope"), std::string(""), std::string("caja\0x", 6), std::string("caja2")}) {
    const Status status = send_winspool(*spooler_, name, every_byte_value(1));
    ASSERT_FALSE(status.ok()) << name;
    EXPECT_EQ(status.error(), "OpenPrinter('" + name + "') falló (Win32 err 1030)");
  }
  // Nothing was printed on "caja" meanwhile.
  EXPECT_FALSE(sink_.closed_connection(0, std::chrono::seconds(1)));
  // Queue names are case-insensitive, as spooler printer names are on Windows.
  EXPECT_TRUE(send_winspool(*spooler_, "CAJA", every_byte_value(1)).ok());
}

TEST_F(CupsSpoolerTest, ListsQueuesInTheServersOrderWithPausedOnesOffline) {
  LoopbackSink other;
  ASSERT_EQ(server_.add_raw_queue("Almacen_Etiquetas", other.port()).exit_code, 0);
  ASSERT_EQ(server_.pause_queue("caja").exit_code, 0);
  auto list = list_printers(platform_);
  ASSERT_TRUE(list.ok()) << list.error();
  PrinterInfo labels;
  labels.product = "Almacen_Etiquetas";
  PrinterInfo paused;
  paused.product = "caja";
  paused.offline = true;
  EXPECT_EQ(*list, (std::vector<PrinterInfo>{labels, paused}));
}

TEST_F(CupsSpoolerTest, AServerThatIsDownIsNotReportedAsAMissingPrinter) {
  server_.stop();
  const Status status = send_winspool(*spooler_, "caja", every_byte_value(1));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), "OpenPrinter('caja') falló (Win32 err 1282)");
  auto list = list_printers(platform_);
  ASSERT_FALSE(list.ok());
  EXPECT_EQ(list.error(), "EnumPrinters falló (Win32 err 1282)");
}

const CupsLibrary* no_library() { return nullptr; }

TEST_F(CupsSpoolerTest, WithoutTheLibraryPrintingAndListingFailAsForAServerThatIsDown) {
  auto spooler = make_cups_spooler(server_.socket(), no_library);
  auto directory = make_cups_printer_directory(server_.socket(), no_library);
  const Status status = send_winspool(*spooler, "caja", every_byte_value(1));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), "OpenPrinter('caja') falló (Win32 err 1282)");
  auto list = directory->list();
  ASSERT_FALSE(list.ok());
  EXPECT_EQ(list.error(), "EnumPrinters falló (Win32 err 1282)");
}

TEST(CupsLibrary, LoadingFailsWhenTheFileOrAnyFunctionIsMissing) {
  auto absent = load_cups_library("libzunel-no-such-library.so.9");
  ASSERT_FALSE(absent.ok());
  EXPECT_EQ(absent.error().rfind("cannot load libzunel-no-such-library.so.9: ", 0), 0u) << absent.error();

  // A library that exists but is not libcups.
  auto other = load_cups_library("libc.so.6");
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error(),
            "libc.so.6 lacks cupsCancelJob2, cupsCreateJob, cupsDoRequest, cupsFinishDocument, cupsFreeDests, "
            "cupsGetDests2, cupsGetNamedDest, cupsGetOption, cupsLastError, cupsServer, cupsStartDocument, "
            "cupsWriteRequestData, httpAssembleURIf, httpClose, httpConnect2, ippAddString, ippAddStrings, "
            "ippDelete, ippFindAttribute, ippGetCount, ippGetInteger, ippGetString, ippNewRequest, ippPort");
}

TEST(CupsLibrary, TheSystemLibraryLoadsOnce) {
  const CupsLibrary* cups = cups_library();
  ASSERT_NE(cups, nullptr);
  EXPECT_EQ(cups_library(), cups);
  EXPECT_EQ(cups->ipp_port(), 631);
}

TEST(CupsPrinterDirectory, NoQueuesIsAnEmptyList) {
  CupsTestServer server;
  ASSERT_TRUE(server.ready()) << server.log();
  auto list = make_cups_printer_directory(server.socket())->list();
  ASSERT_TRUE(list.ok()) << list.error();
  EXPECT_TRUE(list->empty());
}

}  // namespace
}  // namespace zunel
