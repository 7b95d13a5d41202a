// The service's HTTP request reader with the service's limits: any bytes, in any pieces, end as
// complete requests within the limits or as one refusal status, never as a crash or a throw, and
// the reader never holds more than the request limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "HttpRequestReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the piece size, so the same request is also read a few bytes at a time.
    const std::size_t piece = 1 + data[0] % 64 * (data[0] >= 128 ? 97 : 1);
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const murel::HttpRequestLimits limits;
    murel::HttpRequestReader reader(limits);
    while (reader.state() != murel::HttpRequestReader::State::Failed) {
        while (reader.state() == murel::HttpRequestReader::State::Complete) {
            const auto request = reader.take();
            if (request.body().size() > limits.body) std::abort();
        }
        if (reader.pendingBytes() > limits.total) std::abort();
        if (rest.empty()) break;
        const auto next = rest.substr(0, piece);
        rest.remove_prefix(next.size());
        reader.put(next);
    }
    if (reader.state() == murel::HttpRequestReader::State::Failed) {
        const int status = reader.failureStatus();
        if (status != 400 && status != 413 && status != 431) std::abort();
    }
    return 0;
}
