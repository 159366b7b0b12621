#include "server/linger.h"

#include <memory>

namespace zunel {
namespace {

struct Lingering {
  boost::beast::tcp_stream& stream;
  boost::beast::flat_buffer& buffer;
  std::size_t left;  // bytes that may still be dropped
  std::function<void()> done;
};

void discard_rest(const std::shared_ptr<Lingering>& lingering) {
  lingering->buffer.clear();
  lingering->stream.async_read_some(lingering->buffer.prepare(65536),
                                    [lingering](boost::beast::error_code ec, std::size_t n) {
                                      if (ec || n >= lingering->left) return lingering->done();
                                      lingering->left -= n;
                                      discard_rest(lingering);
                                    });
}

}  // namespace

void linger(boost::beast::tcp_stream& stream, boost::beast::flat_buffer& buffer, std::size_t max_bytes,
            std::chrono::milliseconds timeout, std::function<void()> done) {
  boost::beast::error_code ignored;
  stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
  stream.expires_after(timeout);
  discard_rest(std::make_shared<Lingering>(Lingering{stream, buffer, max_bytes, std::move(done)}));
}

}  // namespace zunel
