#include "printing/printer_list.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

TEST(PrinterListJson, WritesEachEntryCompactWithItsKeysInByteOrder) {
  EXPECT_EQ(printer_list_json({}), "[]");

  PrinterInfo receipt;
  receipt.product = "EPSON TM-T20III";
  PrinterInfo label;
  label.product = "Etiquetas \"A\" \\ ñ\n";
  label.offline = true;
  PrinterInfo nameless;
  PrinterInfo all_fields;  // never from the spooler, but every field is written
  all_fields.vendor_id = 1208;
  all_fields.product_id = 514;
  all_fields.manufacturer = "M";
  all_fields.serial = "S1";
  all_fields.product = "P";

  EXPECT_EQ(printer_list_json({receipt, label, nameless, all_fields}),
            R"([)"
            R"({"manufacturer":null,"offline":false,"product":"EPSON TM-T20III","product_id":0,"serial":null,"vendor_id":0},)"
            R"({"manufacturer":null,"offline":true,"product":"Etiquetas \"A\" \\ ñ\n","product_id":0,"serial":null,"vendor_id":0},)"
            R"({"manufacturer":null,"offline":false,"product":null,"product_id":0,"serial":null,"vendor_id":0},)"
            R"({"manufacturer":"M","offline":false,"product":"P","product_id":514,"serial":"S1","vendor_id":1208}])");
}

}  // namespace
}  // namespace zunel
