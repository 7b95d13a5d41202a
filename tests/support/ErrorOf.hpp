#pragma once

#include <string>

#include "protocol/Wire.hpp"

namespace murel::test {

// The ProtocolError text a call throws, or "<no error>" when it returns normally. Other exception
// types propagate so that a wrong kind of failure fails the test loudly.
inline std::string errorOf(auto&& call) {
    try {
        call();
    } catch (const ProtocolError& e) {
        return e.what();
    }
    return "<no error>";
}

}  // namespace murel::test
