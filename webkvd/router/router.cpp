#include "webkvd/router/router.hpp"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "webkvd/api/api.hpp"
#include "webkvd/backend/attach.hpp"
#include "webkvd/calls/pending.hpp"
#include "webkvd/cgi/cgi.hpp"
#include "webkvd/files/serve.hpp"
#include "webkvd/main/config.hpp"
#include "webkvd/proxy/proxy.hpp"
#include "webkvd/upload/upload.hpp"

namespace {

constexpr const char* prefix_api = "/_api/";
constexpr const char* prefix_root = "/_root/";
constexpr const char* prefix_temp = "/_temp/";
constexpr const char* prefix_resp = "/_resp/";
constexpr const char* prefix_result = "/_result/";
constexpr std::string_view prefix_upload = "/_upload";
// "/_root" and "/_temp" are cut off, leaving the path with its slash.
constexpr std::size_t root_cut = 6;
constexpr std::size_t temp_cut = 6;
constexpr const char* content_length_0 = "Content-Length: 0\r\n";
constexpr const char* connection_close = "Connection: close\r\n";
constexpr const char* api_result_chunk = "{ \"result\": %d }";
constexpr std::size_t max_web_root_path = 255;

int www_root_len = 0;  // length of the web root without one final "/"; 0 until computed

client_state* new_client_state(net::connection& c, int is_https) {
    auto* cs = new (std::nothrow) client_state;
    if (!cs) return nullptr;
    cs->client.conn = &c;
    cs->is_https = is_https;
    return cs;
}

// Served here: the connection closes after the reply.  A CGI program
// answers later; its runner closes the connection itself.
void finish_local(client_state& cs, net::connection& c) {
    if (!cgi_owns_reply(c)) c.close_after_send();
    cs.client.conn = nullptr;
}

void on_request_head(client_state& cs, net::connection& c, net::http_message& m) {
    if (cs.upload_endpoint || net::istarts_with(m.uri, prefix_upload)) {
        cs.upload_endpoint = true;
        cs.current = branch::upload;
        upload_event(cs, c, net::EV_HTTP_HEAD, &m);
        return;
    }
    pending_sweep();
    // A new exchange: an error head may be written for it again.
    cs.client.flags &= ~HEAD_SENT;
    if (uri_has_prefix(m.uri, prefix_api))
        cs.current = branch::api;
    else if (uri_has_prefix(m.uri, prefix_root))
        cs.current = branch::root;
    else if (uri_has_prefix(m.uri, prefix_temp))
        cs.current = branch::temp;
    else if (uri_has_prefix(m.uri, prefix_resp))
        cs.current = branch::resp;
    else if (uri_has_prefix(m.uri, prefix_result))
        cs.current = branch::result;
    else if (is_web_root_file(m.uri.data(), static_cast<int>(m.uri.size())))
        cs.current = branch::web_file;
    else {
        cs.current = branch::proxy;
        proxy_request(cs, m);
    }
}

// A whole request for one of the locally served branches.
void on_request(client_state& cs, net::connection& c, net::http_message& m) {
    switch (cs.current) {
    case branch::api: {
        int code = api_request(cs, m);
        if (code != 0) {
            c.printf_chunk(api_result_chunk, code);
            c.send_last_chunk();
            finish_local(cs, c);
        }
        break;
    }
    case branch::root:
        files::serve_file(c, m, m.uri.substr(root_cut), www_opts, cs.is_https != 0);
        finish_local(cs, c);
        break;
    case branch::temp:
        files::serve_file(c, m, m.uri.substr(temp_cut), upload_opts, cs.is_https != 0);
        finish_local(cs, c);
        break;
    case branch::web_file:
        files::serve_file(c, m, m.uri, www_opts, cs.is_https != 0);
        finish_local(cs, c);
        break;
    case branch::resp:
        resp_request(cs, m);
        break;
    case branch::result:
        result_request(cs, m);
        break;
    case branch::upload:
        upload_event(cs, c, net::EV_HTTP_REQUEST, &m);
        break;
    case branch::proxy:
    case branch::none:
        break;
    }
}

void on_close(client_state* cs, net::connection& c) {
    bool is_client = !c.is_outbound();
    if (is_client && cs->upload_endpoint) upload_event(*cs, c, net::EV_CLOSE, nullptr);
    if (cs->client.conn == &c) {
        cs->client.conn = nullptr;
        if (cs->backend.conn) cs->backend.conn->close_now();
    } else if (cs->backend.conn == &c) {
        backend_closed_step(*cs);
    }
    if (is_client) {
        // Every call this connection waits for, whatever its id.
        pending_detach_conn(&c);
        cgi_connection_closed(c);
    }
    c.user_data = nullptr;
    if (!cs->client.conn && !cs->backend.conn) delete cs;
}

}  // namespace

void http_event_handler(net::connection& c, int ev, void* ev_data, int is_https) {
    auto* cs = static_cast<client_state*>(c.user_data);
    if (!cs) {
        if (ev == net::EV_ACCEPT) {
            cs = new_client_state(c, is_https);
            if (cs)
                c.user_data = cs;
            else
                c.printf("%s%s%s\r\n", status_500_failed, content_length_0, connection_close);
        } else if (ev != net::EV_POLL && ev != net::EV_CLOSE) {
            c.close_now();
        }
        return;
    }
    cs->is_https = is_https;
    bool from_backend = cs->backend.conn == &c;
    switch (ev) {
    case net::EV_POLL:
    case net::EV_ACCEPT:
        break;
    case net::EV_CONNECT:
    case net::EV_HTTP_REPLY:
        if (from_backend) proxy_event(*cs, c, ev, ev_data);
        break;
    case net::EV_HTTP_HEAD:
        if (from_backend)
            proxy_event(*cs, c, ev, ev_data);
        else
            on_request_head(*cs, c, *static_cast<net::http_message*>(ev_data));
        break;
    case net::EV_HTTP_REQUEST:
        if (!from_backend) on_request(*cs, c, *static_cast<net::http_message*>(ev_data));
        break;
    case net::EV_HTTP_BODY:
    case net::EV_HTTP_END:
        if (from_backend || cs->current == branch::proxy)
            proxy_event(*cs, c, ev, ev_data);
        else if (cs->current == branch::upload)
            upload_event(*cs, c, ev, ev_data);
        break;
    case net::EV_DRAIN:
        if (from_backend || cs->current == branch::proxy) proxy_event(*cs, c, ev, ev_data);
        break;
    case net::EV_CLOSE:
        on_close(cs, c);
        break;
    default:
        break;
    }
}

int uri_has_prefix(std::string_view s, const char* prefix) {
    if (!s.data() || !prefix) return 0;
    std::size_t n = std::strlen(prefix);
    return s.size() >= n && std::memcmp(s.data(), prefix, n) == 0 ? 1 : 0;
}

int is_web_root_file(const char* uri, int len) {
    const std::string& root = www_opts.document_root;
    if (www_root_len == 0) {
        www_root_len = static_cast<int>(root.size());
        if (!root.empty() && root.back() == '/') --www_root_len;
    }
    if (len <= 0) return 0;
    if (static_cast<std::size_t>(www_root_len) + static_cast<std::size_t>(len) > max_web_root_path) return 0;
    if (!std::memchr(uri, '.', static_cast<std::size_t>(len))) return 0;
    char path[max_web_root_path + 1];
    std::memcpy(path, root.data(), static_cast<std::size_t>(www_root_len));
    std::memcpy(path + www_root_len, uri, static_cast<std::size_t>(len));
    path[www_root_len + len] = '\0';
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

void send_error_reply(client_state& cs, const char* status_line) {
    if (!cs.client.conn) return;
    if (!(cs.client.flags & HEAD_SENT)) {
        cs.client.conn->printf("%s%s%s\r\n", status_line, content_length_0, connection_close);
        cs.client.flags |= HEAD_SENT;
    }
    cs.client.conn->close_after_send();
}

void log_line(const char* fmt, ...) {
    if (!log_stream) return;
    std::va_list ap;
    va_start(ap, fmt);
    std::vfprintf(log_stream, fmt, ap);
    va_end(ap);
    std::fflush(log_stream);
}
