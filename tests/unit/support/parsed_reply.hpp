// Splits a recorded HTTP reply into status code, header fields and body.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>

struct parsed_reply {
    int code = 0;
    std::string status_line;
    std::map<std::string, std::string> fields;  // names lower-cased; the last of repeated fields
    std::string body;

    bool has(const std::string& name) const { return fields.count(name) != 0; }
    std::string operator[](const std::string& name) const {
        auto it = fields.find(name);
        return it == fields.end() ? "" : it->second;
    }

    static parsed_reply from(const std::string& out) {
        parsed_reply r;
        std::size_t end = out.find("\r\n\r\n");
        if (end == std::string::npos || out.compare(0, 5, "HTTP/") != 0) return r;
        std::size_t eol = out.find("\r\n");
        r.status_line = out.substr(0, eol);
        std::size_t sp = r.status_line.find(' ');
        if (sp != std::string::npos) r.code = std::atoi(r.status_line.c_str() + sp + 1);
        std::size_t pos = eol + 2;
        while (pos < end) {
            eol = out.find("\r\n", pos);
            std::string line = out.substr(pos, eol - pos);
            std::size_t colon = line.find(':');
            std::string name = line.substr(0, colon);
            for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            std::size_t v = colon == std::string::npos ? std::string::npos : line.find_first_not_of(' ', colon + 1);
            r.fields[name] = v == std::string::npos ? "" : line.substr(v);
            pos = eol + 2;
        }
        r.body = out.substr(end + 4);
        return r;
    }

    // The body of a chunked reply joined; complete is set when the last
    // chunk came.
    static std::string dechunk(const std::string& body, bool& complete) {
        std::string out;
        complete = false;
        std::size_t pos = 0;
        while (pos < body.size()) {
            std::size_t eol = body.find("\r\n", pos);
            if (eol == std::string::npos) return out;
            std::size_t n = std::strtoul(body.c_str() + pos, nullptr, 16);
            if (n == 0) {
                complete = body.compare(eol, 4, "\r\n\r\n") == 0;
                return out;
            }
            if (eol + 2 + n > body.size()) return out;
            out.append(body, eol + 2, n);
            pos = eol + 2 + n + 2;
        }
        return out;
    }
};
