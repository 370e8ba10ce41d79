// Placeholder until the multipart endpoint lands: uploads are refused.
#include "webkvd/upload/upload.hpp"

namespace {
constexpr const char* upload_refused = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

void upload_event(client_state&, net::connection& c, int ev, void*) {
    if (ev == net::EV_HTTP_HEAD) {
        c.send(upload_refused);
        c.close_after_send();
    }
}
