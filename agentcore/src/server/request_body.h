#pragma once
// The Beast body type of every request the server reads: the body's text,
// or, when the admission chose a consumer, each piece handed to it as it
// arrives and nothing kept. The parser keeps the text within the body's
// bound.

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional/optional.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "server/http_message.h"

namespace zunel {

struct RequestBody {
  struct value_type {
    std::string text;
    std::shared_ptr<BodyConsumer> consumer;
  };

  class reader {
   public:
    template <bool is_request, class Fields>
    reader(boost::beast::http::header<is_request, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, boost::beast::error_code& ec) {
      ec = {};
      const auto declared = static_cast<std::size_t>(length.value_or(0));
      if (body_.consumer) {
        body_.consumer->begin(declared);
      } else {
        body_.text.reserve(declared);
      }
    }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::beast::error_code& ec) {
      ec = {};
      std::size_t taken = 0;
      for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
        const std::string_view piece(static_cast<const char*>(buffer.data()), buffer.size());
        if (body_.consumer) {
          body_.consumer->consume(piece);
        } else {
          body_.text.append(piece);
        }
        taken += piece.size();
      }
      return taken;
    }

    void finish(boost::beast::error_code& ec) {
      ec = {};
      if (body_.consumer) body_.consumer->finish();
    }

   private:
    value_type& body_;
  };
};

}  // namespace zunel
