#pragma once
// POSIX only: libcups, loaded when the spooler or the printer list first
// needs it rather than at process start. It and the libraries it pulls in
// (TLS, Kerberos, service discovery) would otherwise take several MB of an
// idle agent's memory. The header is used for the types and declarations only.

#include <cups/cups.h>

#include <string>

#include "base/outcome.h"

namespace zunel {

// The library's functions that the spooler and the printer directory call.
struct CupsLibrary {
  decltype(&::cupsCancelJob2) cancel_job2 = nullptr;
  decltype(&::cupsCreateJob) create_job = nullptr;
  decltype(&::cupsDoRequest) do_request = nullptr;
  decltype(&::cupsFinishDocument) finish_document = nullptr;
  decltype(&::cupsFreeDests) free_dests = nullptr;
  decltype(&::cupsGetDests2) get_dests2 = nullptr;
  decltype(&::cupsGetNamedDest) get_named_dest = nullptr;
  decltype(&::cupsGetOption) get_option = nullptr;
  decltype(&::cupsLastError) last_error = nullptr;
  decltype(&::cupsServer) server = nullptr;
  decltype(&::cupsStartDocument) start_document = nullptr;
  decltype(&::cupsWriteRequestData) write_request_data = nullptr;
  decltype(&::httpAssembleURIf) http_assemble_urif = nullptr;
  decltype(&::httpClose) http_close = nullptr;
  decltype(&::httpConnect2) http_connect2 = nullptr;
  decltype(&::ippAddString) ipp_add_string = nullptr;
  decltype(&::ippAddStrings) ipp_add_strings = nullptr;
  decltype(&::ippDelete) ipp_delete = nullptr;
  decltype(&::ippFindAttribute) ipp_find_attribute = nullptr;
  decltype(&::ippGetCount) ipp_get_count = nullptr;
  decltype(&::ippGetInteger) ipp_get_integer = nullptr;
  decltype(&::ippGetString) ipp_get_string = nullptr;
  decltype(&::ippNewRequest) ipp_new_request = nullptr;
  decltype(&::ippPort) ipp_port = nullptr;
};

// Loads the shared library `file` and resolves every function above. On
// failure nothing stays loaded and the error names what was missing.
Outcome<CupsLibrary> load_cups_library(const std::string& file);

// "libcups.so.2", loaded by the first call (from any thread) and kept for the
// process's life; nullptr when it cannot be loaded, then and on every later call.
const CupsLibrary* cups_library();

// How the spooler and the printer directory obtain the library; tests
// substitute one that fails.
using CupsLibraryLoader = const CupsLibrary* (*)();

}  // namespace zunel
