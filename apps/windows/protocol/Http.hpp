#pragma once
// The abstract HTTP client every control-service call goes through.

#include <string>

#include "protocol/Wire.hpp"

namespace murel {

struct HttpRequest {
    std::string method;  // "GET", "POST" or "DELETE"
    std::string path;    // absolute, begins "/v1/"
    std::string bearer;  // empty: no Authorization header
    Json body;           // null: no body
};

class Http {
public:
    virtual ~Http() = default;
    // Sends the request and returns the response body, a JSON object; throws ProtocolError.
    virtual Json request(const HttpRequest& request) = 0;
};

}  // namespace murel
