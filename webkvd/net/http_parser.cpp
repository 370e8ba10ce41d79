#include "webkvd/net/http_parser.hpp"

namespace net {

namespace {
constexpr const char* proto_11 = "HTTP/1.1";
constexpr const char* proto_10 = "HTTP/1.0";
constexpr int version_11 = 11;
constexpr std::size_t typical_head_bytes = 512;
constexpr std::size_t typical_fields = 16;
}  // namespace

template <bool isRequest>
http_parser<isRequest>::http_parser(body_sink& sink) : sink_(sink) {
    this->header_limit(static_cast<std::uint32_t>(max_head_bytes));
    this->body_limit(boost::none);  // callers enforce their own limits
    arena_.reserve(typical_head_bytes);
    fields_.reserve(typical_fields);
}

template <bool isRequest>
typename http_parser<isRequest>::span http_parser<isRequest>::keep(bsv text) {
    span s{static_cast<std::uint32_t>(arena_.size()), static_cast<std::uint32_t>(text.size())};
    arena_.append(text.data(), text.size());
    return s;
}

template <bool isRequest>
void http_parser<isRequest>::fill(http_message& msg) const {
    msg.is_request = isRequest;
    msg.proto = version_ == version_11 ? proto_11 : proto_10;
    msg.headers.clear();
    msg.headers.reserve(fields_.size());
    for (const auto& [name, value] : fields_) msg.headers.push_back({view(name), view(value)});
    msg.content_length = content_length_;
    msg.chunked = chunked_;
    msg.body_until_close = until_close_;
    msg.body = {};
    if constexpr (isRequest) {
        msg.method = view(method_);
        msg.target = view(target_);
        std::string_view t = msg.target;
        auto q = t.find('?');
        msg.has_query = q != std::string_view::npos;
        msg.uri = msg.has_query ? t.substr(0, q) : t;
        msg.query = msg.has_query ? t.substr(q + 1) : std::string_view{};
    } else {
        msg.resp_code = status_;
        msg.resp_status_msg = view(reason_);
    }
}

template <bool isRequest>
void http_parser<isRequest>::on_request_impl(boost::beast::http::verb, bsv method,
                                             bsv target, int version, error_code&) {
    method_ = keep(method);
    target_ = keep(target);
    version_ = version;
}

template <bool isRequest>
void http_parser<isRequest>::on_response_impl(int code, bsv reason, int version,
                                              error_code&) {
    status_ = code;
    reason_ = keep(reason);
    version_ = version;
}

template <bool isRequest>
void http_parser<isRequest>::on_field_impl(boost::beast::http::field, bsv name,
                                           bsv value, error_code&) {
    span n = keep(name);
    span v = keep(value);
    fields_.emplace_back(n, v);
}

template <bool isRequest>
void http_parser<isRequest>::on_header_impl(error_code&) {
    chunked_ = this->chunked();
    if (auto len = this->content_length()) content_length_ = static_cast<std::int64_t>(*len);
    if constexpr (!isRequest) until_close_ = this->need_eof() && !chunked_ && content_length_ < 0;
}

template <bool isRequest>
void http_parser<isRequest>::on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) {}

template <bool isRequest>
std::size_t http_parser<isRequest>::on_body_impl(bsv body, error_code&) {
    sink_.on_body_piece(std::string_view(body.data(), body.size()));
    return body.size();
}

template <bool isRequest>
void http_parser<isRequest>::on_chunk_header_impl(std::uint64_t, bsv, error_code&) {}

template <bool isRequest>
std::size_t http_parser<isRequest>::on_chunk_body_impl(std::uint64_t, bsv body,
                                                       error_code&) {
    sink_.on_body_piece(std::string_view(body.data(), body.size()));
    return body.size();
}

template <bool isRequest>
void http_parser<isRequest>::on_finish_impl(error_code&) {}

template class http_parser<true>;
template class http_parser<false>;

}  // namespace net
