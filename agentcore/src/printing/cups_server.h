#pragma once
// POSIX only: the CUPS server that stands in for the system's print spooler.
// The job calls map onto it as: open = the destination exists on the server;
// start of document = create a job (titled with the document name); start
// of page = start its one document (RAW: no filtering); write = send the
// bytes; end of page = nothing; end of document = finish the document;
// close = cancel a job left unfinished, then disconnect. Error codes are
// CUPS status codes, in place of Win32 codes. The library is loaded on the
// first open or list (through `load`); when it cannot be, those fail as for a
// server that does not answer.

#include <memory>
#include <string>

#include "printing/cups_library.h"
#include "printing/printer_directory.h"
#include "printing/spooler.h"

namespace zunel {

// `server` is a host name or a domain socket's path; empty means the server
// that CUPS_SERVER or the client configuration names.
std::unique_ptr<Spooler> make_cups_spooler(const std::string& server, CupsLibraryLoader load = cups_library);

// The server's queues in its order: the queue name as `product`, `offline`
// when the queue is stopped (paused). Failure reads
// "EnumPrinters falló (Win32 err {code})" with the CUPS status code.
std::unique_ptr<PrinterDirectory> make_cups_printer_directory(const std::string& server,
                                                              CupsLibraryLoader load = cups_library);

}  // namespace zunel
