#include "printing/cups_library.h"

#include <dlfcn.h>

#include <mutex>

namespace zunel {
namespace {

template <typename F>
bool resolve(void* handle, const char* name, F& function, std::string& missing) {
  void* symbol = ::dlsym(handle, name);
  if (symbol == nullptr) {
    if (!missing.empty()) missing += ", ";
    missing += name;
    return false;
  }
  function = reinterpret_cast<F>(symbol);
  return true;
}

}  // namespace

Outcome<CupsLibrary> load_cups_library(const std::string& file) {
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    return fail("cannot load " + file + ": " + (why != nullptr ? why : "unknown error"));
  }
  CupsLibrary library;
  std::string missing;
  resolve(handle, "cupsCancelJob2", library.cancel_job2, missing);
  resolve(handle, "cupsCreateJob", library.create_job, missing);
  resolve(handle, "cupsDoRequest", library.do_request, missing);
  resolve(handle, "cupsFinishDocument", library.finish_document, missing);
  resolve(handle, "cupsFreeDests", library.free_dests, missing);
  resolve(handle, "cupsGetDests2", library.get_dests2, missing);
  resolve(handle, "cupsGetNamedDest", library.get_named_dest, missing);
  resolve(handle, "cupsGetOption", library.get_option, missing);
  resolve(handle, "cupsLastError", library.last_error, missing);
  resolve(handle, "cupsServer", library.server, missing);
  resolve(handle, "cupsStartDocument", library.start_document, missing);
  resolve(handle, "cupsWriteRequestData", library.write_request_data, missing);
  resolve(handle, "httpAssembleURIf", library.http_assemble_urif, missing);
  resolve(handle, "httpClose", library.http_close, missing);
  resolve(handle, "httpConnect2", library.http_connect2, missing);
  resolve(handle, "ippAddString", library.ipp_add_string, missing);
  resolve(handle, "ippAddStrings", library.ipp_add_strings, missing);
  resolve(handle, "ippDelete", library.ipp_delete, missing);
  resolve(handle, "ippFindAttribute", library.ipp_find_attribute, missing);
  resolve(handle, "ippGetCount", library.ipp_get_count, missing);
  resolve(handle, "ippGetInteger", library.ipp_get_integer, missing);
  resolve(handle, "ippGetString", library.ipp_get_string, missing);
  resolve(handle, "ippNewRequest", library.ipp_new_request, missing);
  resolve(handle, "ippPort", library.ipp_port, missing);
  if (!missing.empty()) {
    ::dlclose(handle);
    return fail(file + " lacks " + missing);
  }
  // The handle is never closed: the functions stay in use until exit.
  return library;
}

const CupsLibrary* cups_library() {
  static std::once_flag once;
  static CupsLibrary library;
  static bool available = false;
  std::call_once(once, [] {
    auto loaded = load_cups_library("libcups.so.2");
    if (!loaded) return;
    library = *loaded;
    available = true;
  });
  return available ? &library : nullptr;
}

}  // namespace zunel
