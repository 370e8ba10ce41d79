// HTTP/1.x message parser over Beast's basic_parser: keeps the raw request
// target and every header in the order received, and hands body pieces
// (de-chunked) to a sink as they are parsed, so bodies need not be held.
#pragma once

#include <boost/beast/http/basic_parser.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "webkvd/net/connection.hpp"

namespace net {

// Receives body pieces while the parser runs.
struct body_sink {
    virtual ~body_sink() = default;
    virtual void on_body_piece(std::string_view piece) = 0;
};

template <bool isRequest>
class http_parser final : public boost::beast::http::basic_parser<isRequest> {
public:
    explicit http_parser(body_sink& sink);

    // Fills msg with views into this parser's storage (valid while it lives).
    void fill(http_message& msg) const;

private:
    using error_code = boost::beast::error_code;
    using bsv = boost::beast::string_view;
    struct span {
        std::uint32_t off = 0;
        std::uint32_t len = 0;
    };
    span keep(bsv text);
    std::string_view view(span s) const { return std::string_view(arena_).substr(s.off, s.len); }

    void on_request_impl(boost::beast::http::verb, bsv method, bsv target,
                         int version, error_code& ec) override;
    void on_response_impl(int code, bsv reason, int version, error_code& ec) override;
    void on_field_impl(boost::beast::http::field, bsv name, bsv value,
                       error_code& ec) override;
    void on_header_impl(error_code& ec) override;
    void on_body_init_impl(const boost::optional<std::uint64_t>& length, error_code& ec) override;
    std::size_t on_body_impl(bsv body, error_code& ec) override;
    void on_chunk_header_impl(std::uint64_t size, bsv extensions, error_code& ec) override;
    std::size_t on_chunk_body_impl(std::uint64_t remain, bsv body, error_code& ec) override;
    void on_finish_impl(error_code& ec) override;

    body_sink& sink_;
    std::string arena_;  // every text of the head, back to back
    span method_, target_, reason_;
    std::vector<std::pair<span, span>> fields_;
    int version_ = 11;
    int status_ = 0;
    std::int64_t content_length_ = -1;
    bool chunked_ = false;
    bool until_close_ = false;
};

extern template class http_parser<true>;
extern template class http_parser<false>;

}  // namespace net
