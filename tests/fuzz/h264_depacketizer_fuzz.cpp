// H.264 depacketizing of arbitrary packet runs (see depacketizer_fuzz_common.hpp).
#include "rtc/H264RtpDepacketizer.hpp"

#include "depacketizer_fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzdepacketizer::run<rtc::H264RtpDepacketizer>(data, size);
}
