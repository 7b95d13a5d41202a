#pragma once
// Stream-settings request IDs from CoCreateGuid.

#include "protocol/RequestId.hpp"

namespace murel::win {

// A GuidSource backed by CoCreateGuid; a failing call gives nothing (newRequestId then reports
// "Cannot create stream settings request").
GuidSource coCreateGuidSource();

}  // namespace murel::win
