#include "webkvd/upload/upload.hpp"

#include <cstring>
#include <new>

#include "webkvd/main/config.hpp"
#include "webkvd/upload/multipart.hpp"

namespace {

constexpr std::string_view upload_prefix = "/_upload";
constexpr std::string_view content_type_header = "Content-Type";
constexpr std::string_view multipart_word = "multipart";
// Shorter Content-Type values are never streamed.
constexpr std::size_t min_streamed_content_type = 9;
constexpr std::size_t upload_path_size = 511;
constexpr const char* upload_path_format = "%s/%s";
constexpr const char* write_mode = "wb";

// Names that would not name a new file inside the upload directory.
bool refused_name(std::string_view name) {
    return name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
           name.find('\0') != std::string_view::npos;
}

void free_upload(client_state& cs) {
    if (cs.upload == nullptr) return;
    if (cs.upload->file != nullptr) std::fclose(cs.upload->file);
    delete cs.upload;
    cs.upload = nullptr;
}

void part_begin(client_state& cs, net::connection& c, std::string_view var_name) {
    if (cs.upload != nullptr) return;
    auto* st = new (std::nothrow) upload_state;
    if (st != nullptr && !refused_name(var_name)) {
        st->var_name.assign(var_name);
        char path[upload_path_size];
        std::snprintf(path, sizeof path, upload_path_format, upload_dir().c_str(), st->var_name.c_str());
        st->file = std::fopen(path, write_mode);
    }
    if (st == nullptr || st->file == nullptr) {
        c.printf("%s", upload_open_failed);
        c.close_after_send();
        delete st;
        return;
    }
    cs.upload = st;
}

void write_failed(client_state& cs, net::connection& c) {
    c.printf("%s", upload_write_failed);
    c.close_after_send();
    free_upload(cs);
}

void part_data(client_state& cs, net::connection& c, std::string_view data) {
    if (cs.upload == nullptr || data.empty()) return;
    if (std::fwrite(data.data(), 1, data.size(), cs.upload->file) < data.size()) write_failed(cs, c);
}

void part_end(client_state& cs, net::connection& c) {
    if (cs.upload == nullptr) return;
    // Bytes still in the stdio buffer are written now, so that a failure to
    // store them is answered as one and not as a stored file.
    if (std::fflush(cs.upload->file) != 0) {
        write_failed(cs, c);
        return;
    }
    const long length = std::ftell(cs.upload->file);
    c.printf(upload_stored_reply, upload_dir().c_str(), cs.upload->var_name.c_str(), length);
    c.close_after_send();
    free_upload(cs);
}

// The multipart stream of one request, kept in client_state::upload_stream.
struct upload_stream final : multipart_sink {
    upload_stream(client_state& s, net::connection& conn, std::string_view boundary)
        : cs(s), c(conn), parser(boundary) {}

    void part_begin(const multipart_part& p) override {
        upload_handler(cs, c, EV_HTTP_PART_BEGIN, http_multipart_part{p.var_name, {}});
    }
    void part_data(std::string_view piece) override {
        upload_handler(cs, c, EV_HTTP_PART_DATA, http_multipart_part{{}, piece});
    }
    void part_end() override { upload_handler(cs, c, EV_HTTP_PART_END, http_multipart_part{}); }

    client_state& cs;
    net::connection& c;
    multipart_parser parser;
};

upload_stream* stream_of(client_state& cs) { return static_cast<upload_stream*>(cs.upload_stream); }

void free_stream(client_state& cs) {
    delete stream_of(cs);
    cs.upload_stream = nullptr;
}

bool is_streamed(const net::http_message& m) {
    if (m.uri.substr(0, upload_prefix.size()) != upload_prefix) return false;
    const net::http_header* ct = m.header(content_type_header);
    return ct != nullptr && ct->value.size() >= min_streamed_content_type &&
           ct->value.substr(0, multipart_word.size()) == multipart_word;
}

void refuse(net::connection& c) {
    c.send(upload_bad_request);
    c.close_after_send();
}

void on_head(client_state& cs, net::connection& c, const net::http_message& m) {
    free_stream(cs);  // a stream of an earlier request is over
    if (!is_streamed(m)) {
        refuse(c);
        return;
    }
    std::string boundary;
    if (!multipart_boundary(m.header(content_type_header)->value, boundary)) {
        c.close_now();
        return;
    }
    cs.upload_stream = new (std::nothrow) upload_stream(cs, c, boundary);
    if (cs.upload_stream == nullptr) {
        c.close_now();
        return;
    }
    c.stream_body();
}

void on_body(client_state& cs, net::connection& c, std::string_view piece) {
    upload_stream* s = stream_of(cs);
    if (s == nullptr) return;
    if (!s->parser.feed(piece, *s) && !c.closing()) refuse(c);
}

// The request is complete: a part cut short by the end of the body is
// ended, and a body that stored nothing and was not answered is refused.
void on_end(client_state& cs, net::connection& c) {
    upload_stream* s = stream_of(cs);
    if (s == nullptr) return;
    s->parser.finish(*s);
    free_stream(cs);
    if (!c.closing()) refuse(c);
}

// The connection is gone: a part in progress keeps what has arrived.
void on_close(client_state& cs) {
    if (upload_stream* s = stream_of(cs)) s->parser.finish(*s);
    free_stream(cs);
    free_upload(cs);
}

}  // namespace

void upload_handler(client_state& cs, net::connection& c, int ev, const http_multipart_part& part) {
    switch (ev) {
    case EV_HTTP_PART_BEGIN: part_begin(cs, c, part.var_name); break;
    case EV_HTTP_PART_DATA: part_data(cs, c, part.data); break;
    case EV_HTTP_PART_END: part_end(cs, c); break;
    default: break;
    }
}

void upload_event(client_state& cs, net::connection& c, int ev, void* ev_data) {
    switch (ev) {
    case net::EV_HTTP_HEAD: on_head(cs, c, *static_cast<const net::http_message*>(ev_data)); break;
    case net::EV_HTTP_BODY: on_body(cs, c, *static_cast<const std::string_view*>(ev_data)); break;
    case net::EV_HTTP_END: on_end(cs, c); break;
    case net::EV_CLOSE: on_close(cs); break;
    default: break;  // EV_HTTP_REQUEST: a request not streamed, refused at its head
    }
}
