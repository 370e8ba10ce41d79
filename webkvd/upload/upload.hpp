// The upload endpoint: multipart posts to "/_upload..." stored as files.
#pragma once

#include "webkvd/net/connection.hpp"
#include "webkvd/router/client_state.hpp"

// Every event of a connection whose requests go to the upload endpoint.
void upload_event(client_state& cs, net::connection& c, int ev, void* ev_data);
