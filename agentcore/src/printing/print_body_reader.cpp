#include "printing/print_body_reader.h"

#include <algorithm>
#include <array>
#include <boost/json/basic_parser_impl.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/strict_json.h"
#include "base/utf8.h"
#include "printing/byte_pairs.h"
#include "printing/print_body_handler.h"

namespace zunel {
namespace {

namespace json = boost::json;

json::parse_options parse_options() {
  json::parse_options o;
  o.max_depth = JSON_MAX_DEPTH;
  return o;
}

}  // namespace

struct PrintBodyDecoder::Impl {
  // Where the text goes next. Before the "bytes" array, the text is given to
  // the parser up to each "[" in turn, so that the array is caught at its
  // first character; inside it the pair scan runs until something unusual;
  // after that, the parser takes everything.
  enum class Stage { BeforeBytes, InBytes, AfterBytes };

  json::basic_parser<PrintBodyHandler> parser;
  Stage stage = Stage::BeforeBytes;
  Utf8Validator utf8;
  std::optional<std::string> failure;  // the first refusal
  // Inside the array: the start of a pair not yet decidable at the end of a
  // chunk (at most four characters, since five decide any pair).
  std::array<char, 4> carry{};
  std::size_t carry_size = 0;

  explicit Impl(std::size_t size_hint) : parser(parse_options()) { parser.handler().text_size = size_hint; }

  PrintBodyHandler& handler() { return parser.handler(); }

  void refuse(std::string why) {
    if (!failure) failure = std::move(why);
  }

  void write(std::string_view text) {
    if (failure || text.empty()) return;
    json::error_code ec;
    const std::size_t used = parser.write_some(true, text.data(), text.size(), ec);
    if (ec) return refuse(handler().reason.empty() ? ec.message() : handler().reason);
    // Past the end of the value the parser takes only white space.
    if (used != text.size()) refuse("extra data");
  }

  // Takes what it can of `chunk` as pairs; returns the rest, for the parser,
  // when the scan stopped at something unusual (the stage is then AfterBytes).
  std::string_view scan(std::string_view chunk) {
    std::vector<std::uint8_t>& out = handler().body.bytes;
    if (carry_size > 0) {
      // The carried start of a pair, completed from the chunk: five more
      // characters decide it.
      std::array<char, 9> joined{};
      const std::size_t taken = std::min<std::size_t>(chunk.size(), 5);
      std::copy_n(carry.begin(), carry_size, joined.begin());
      std::copy_n(chunk.begin(), taken, joined.begin() + carry_size);
      const std::size_t size = carry_size + taken;
      const PairScan r = scan_pairs(std::string_view(joined.data(), size), out);
      if (r.used >= carry_size) {
        chunk.remove_prefix(r.used - carry_size);
        carry_size = 0;
      } else if (r.unusual) {
        stage = Stage::AfterBytes;
        write(std::string_view(carry.data() + r.used, carry_size - r.used));
        carry_size = 0;
        return chunk;
      } else {
        // Still undecided: the whole chunk was short enough to join.
        carry_size = size - r.used;
        std::copy_n(joined.begin() + r.used, carry_size, carry.begin());
        return {};
      }
    }
    const PairScan r = scan_pairs(chunk, out);
    chunk.remove_prefix(r.used);
    if (r.unusual) {
      stage = Stage::AfterBytes;
      return chunk;
    }
    carry_size = chunk.size();
    std::copy(chunk.begin(), chunk.end(), carry.begin());
    return {};
  }

  // Blocks small enough to stay in the cache between the UTF-8 check and
  // the decoding.
  static constexpr std::size_t BLOCK = 64 * 1024;

  void feed(std::string_view chunk) {
    while (!chunk.empty()) {
      const std::size_t n = std::min(chunk.size(), BLOCK);
      feed_block(chunk.substr(0, n));
      chunk.remove_prefix(n);
    }
  }

  // The UTF-8 check sees all text but what the pair scan takes (or carries),
  // which is digits and commas only.
  void feed_block(std::string_view chunk) {
    while (!chunk.empty()) {
      if (failure) return utf8.feed(chunk);
      switch (stage) {
        case Stage::BeforeBytes: {
          const std::size_t bracket = chunk.find('[');
          const std::size_t n = bracket == std::string_view::npos ? chunk.size() : bracket + 1;
          utf8.feed(chunk.substr(0, n));
          write(chunk.substr(0, n));
          chunk.remove_prefix(n);
          // Only the last character given can have begun the array.
          if (handler().bytes_opened) stage = Stage::InBytes;
          break;
        }
        case Stage::InBytes:
          chunk = scan(chunk);
          break;
        case Stage::AfterBytes:
          utf8.feed(chunk);
          write(chunk);
          chunk = {};
          break;
      }
    }
  }

  Outcome<PrintBody> finish() {
    utf8.finish();
    write(std::string_view(carry.data(), carry_size));
    carry_size = 0;
    if (!failure && !parser.done()) {
      json::error_code ec;
      parser.write_some(false, "", 0, ec);
      if (ec) return fail(handler().reason.empty() ? ec.message() : handler().reason);
    }
    if (failure) return fail(*failure);
    return std::move(handler().body);
  }
};

PrintBodyDecoder::PrintBodyDecoder(std::size_t size_hint) : impl_(std::make_unique<Impl>(size_hint)) {}
PrintBodyDecoder::~PrintBodyDecoder() = default;

void PrintBodyDecoder::feed(std::string_view chunk) { impl_->feed(chunk); }
Outcome<PrintBody> PrintBodyDecoder::finish() { return impl_->finish(); }
bool PrintBodyDecoder::valid_utf8() const { return impl_->utf8.ok(); }

Outcome<PrintBody> read_print_body(std::string_view text) {
  PrintBodyDecoder decoder(text.size());
  decoder.feed(text);
  return decoder.finish();
}

}  // namespace zunel
